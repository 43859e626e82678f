#pragma once
#include <functional>
#include <memory>

#include <QObject>
#include <QSystemTrayIcon>

class QAction;
class QEventLoopLocker;
class QMainWindow;
class QMenu;

// The main window's life in the notification area. Minimising the window
// hides it and shows the icon; a left click on the icon, or the icon menu's
// show entry, brings it back; the menu's exit entry ends the program.
// AppSettings.ISMINIMIZE is the tray state itself. Where the desktop has no
// tray, a minimise stays an ordinary minimise and the state is still kept.
class TTray : public QObject {
  Q_OBJECT
public:
  struct Hooks {
    // Writes the settings; defaults to SaveSettings().
    std::function<void()> SaveSettings;
    // Closes the main window, true when it closed; defaults to close().
    std::function<bool()> CloseWindow;
  };

  // popupMenu holds dispMenu and exitMenu; none of them is owned.
  TTray(QMainWindow* window, QMenu* popupMenu, QAction* dispMenu, QAction* exitMenu,
        Hooks hooks = {});
  ~TTray() override;

  void MinimizeToTray();
  void RestoreFromTray();
  // While ISMINIMIZE is set, from the first show on (every kCaptureIntervalMs
  // while the window shows, kTrayWatchMs while it is hidden in the tray):
  // keeps the program there, adding the icon again if the tray host lost it.
  void ShowAfterTimerTimer();
  // A mouse action on the icon.
  void TrayIconMessage(QSystemTrayIcon::ActivationReason reason);
  void TrayDispMenuClick();
  void TrayExitMenuClick();

  QSystemTrayIcon* Icon() const { return icon_; }

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void UpdateIcon();
  void RemoveIcon();

  QMainWindow* window_;
  QMenu* popupMenu_;
  Hooks hooks_;
  QSystemTrayIcon* icon_;
  // Holds the event loop while the window is hidden, so that closing some
  // other window (a message box) does not end the program.
  std::unique_ptr<QEventLoopLocker> keepRunning_;
  bool changingState_ = false;
  bool ended_ = false;
};
