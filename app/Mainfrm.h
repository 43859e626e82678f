#pragma once
#include <functional>
#include <memory>

#include <QMainWindow>

#include "monitor/StatusLog.h"
#include "platform/ProgramName.h"
#include "session/MonitorSession.h"

class QAction;
class QLabel;
class QMenu;
class QMenuBar;
class QScrollArea;
class QTimer;
class TCoverWatch;
class TCuteButton;
class TPictureMarks;
class TPictureView;
class TTray;

// Shown when the camera cannot be opened.
// The two waits of the close, letting the camera and the view settle.
constexpr uint32_t kCloseWaitMs = 500;
// Hidden in the tray, the window is looked after this often: only a tray
// host that went away needs the look, and no event tells of that.
constexpr int kTrayWatchMs = 100;
// The status line under the scroll box: the window is this much taller
// than designed, and nothing of the designed layout moves.
constexpr int kStatusLineHeight = 18;
// Its rows: two, so that a failure's reason and the other parts fit beside
// each other. They take the band the designed window leaves under the
// scroll box as well.
constexpr int kStatusRows = 2;
constexpr int kStatusRowHeight = 15;

// The main window: the camera picture, the three buttons, the menu, and
// the host of the monitor, which it hands its message pump, its sound
// player and its status line.
class TMainForm : public QMainWindow, public ICameraOwner {
  Q_OBJECT
public:
  // Builds the window and runs FormCreate. sound and mail default to the
  // real ones; they are not owned.
  explicit TMainForm(ISoundPlayer* sound = nullptr, IMonitorMail* mail = nullptr,
                     QWidget* parent = nullptr);
  ~TMainForm() override;

  // Makes the camera object at the first show; tests may replace it.
  std::function<std::unique_ptr<IMonitorCamera>()> CameraFactory;

  // Components, in their declaration order.
  QTimer* CaptureTimer;
  QScrollArea* ScrollBox1;
  TCuteButton* EndBtn;
  QMenuBar* MainMenu;
  QMenu* F1;
  QAction* EndMenu;
  QMenu* S1;
  QAction* OptionMenu;
  // A test alarm, from the 設定 menu and the tray's.
  QAction* TestAlarmMenu;
  QAction* TrayTestAlarmMenu;
  TCuteButton* EndCaptureBtn;
  QMenu* TrayPopupMenu;
  QAction* TrayDispMenu;
  QAction* N11;
  QAction* TrayExitMenu;
  QTimer* ShowAfterTimer;
  QMenu* HelpRootMenu;
  QAction* HelpMenu;
  QAction* N1;
  QAction* VersionInfoMenu;
  TCuteButton* StartCaptureBtn;
  // Below the scroll box: what monitoring is doing, and the event history.
  QLabel* StatusLine;
  QTimer* StatusTimer;
  QAction* EventHistoryMenu;
  QAction* EventFolderMenu;
  QAction* N2;

  // The picture view inside ScrollBox1, and what is drawn over it.
  TPictureView* PictureView() const { return pictureView_; }
  TPictureMarks* PictureMarks() const { return pictureMarks_; }
  MonitoringCycle& Cycle() { return session_.Cycle(); }
  StatusLog& Status() { return statusLog_; }
  // The camera object; nullptr before the first show and after the close.
  IMonitorCamera* Camera() const override { return session_.Camera(); }

  bool StartMonitoring() { return Cycle().StartMonitoring(); }
  void StopMonitoring();

  // Event handlers.
  void FormCreate();
  void FormShow();
  void FormCloseQuery();
  void FormClose();
  void EndBtnClick();
  void EndMenuClick();
  void OptionMenuClick();
  void VersionInfoMenuClick();
  void EventHistoryMenuClick();
  void EventFolderMenuClick();
  void TestAlarmMenuClick();
  void StartCaptureBtnClick();
  void EndCaptureBtnClick();
  void CaptureTimerTimer();

  // The tray: every minimise of the window goes there, and ShowAfterTimer
  // fires from the end of FormShow while ISMINIMIZE is set, every
  // kCaptureIntervalMs while the window shows and kTrayWatchMs while it is
  // hidden in the tray (with it clear the timer has nothing to do, and an
  // idle program need not wake a hundred times a second for it).
  virtual void MinimizeToTray();
  virtual void ShowAfterTimerTimer();
  TTray* Tray() const { return tray_; }

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  class MessagePump;

  void BuildControls();
  void BuildMenus();
  void SetScrollRange(int width, int height);
  // The picture at its own size with scroll bars, or fitted to a window
  // that can be resized, as the settings say.
  void ApplyViewSettings();
  void LayOutControls();
  // Moves the window only as far as needed to have all of it on the screen.
  void KeepOnScreen(QRect frame);
  void UpdateStatusLine();
  void ClearPictureWithoutIdleImage();
  // Starts ShowAfterTimer when FormShow has enabled it and ISMINIMIZE is set.
  void ShowAfterTimerWhileNeeded();

  // What the window itself does with the monitor's events: a tick's error
  // in the standard box, a blank picture once monitoring stopped without
  // an idle picture.
  class WindowEvents : public IMonitorEvents {
  public:
    explicit WindowEvents(TMainForm& form) : form_(form) {}
    void On(const MonitorEvent& event) override;

  private:
    TMainForm& form_;
  };

  std::unique_ptr<ISoundPlayer> ownSound_;
  std::unique_ptr<MessagePump> pump_;
  StatusLog statusLog_;
  WindowEvents windowEvents_{*this};
  // The window's listener: the status line and the window itself.
  MonitorEventFanout listeners_;
  MonitorSession session_;
  QWidget* scrollContent_ = nullptr;
  TPictureView* pictureView_ = nullptr;
  TPictureMarks* pictureMarks_ = nullptr;
  TTray* tray_ = nullptr;
  TCoverWatch* coverWatch_ = nullptr;
  bool shown_ = false;
  bool closing_ = false;
  bool showAfterEnabled_ = false;
};

extern TMainForm* MainForm;
