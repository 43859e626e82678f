#include "app/Mainfrm.h"

#include <filesystem>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>

#include "archive/EventLayout.h"
#include "app/CoverWatch.h"
#include "app/CuteButton.h"
#include "app/EventHistoryDialog.h"
#include "app/MenuDraw.h"
#include "app/PictureMarks.h"
#include "app/PictureView.h"
#include "app/StatusRows.h"
#include "app/Tray.h"
#include "platform/Clock.h"
#include "platform/ExceptionBox.h"
#include "platform/MessageBox.h"
#include "platform/QtSoundPlayer.h"
#include "app/Option.h"
#include "settings/Vardocamdef.h"
#include "app/VersionInf.h"
#include "capture/CameraAddress.h"


// The failure names the camera it tried, so a wrong number or address shows.
static std::string CameraFailedMessage(IMonitorCamera* camera) {
  return CameraFailedText(AppSettings.CAMERANUMBER, AppSettings.CAMERA_URL, camera ? camera->OpenFailure() : "");
}

TMainForm* MainForm = nullptr;

namespace {
const char kUiFontFamily[] = "ＭＳ Ｐゴシック";
constexpr int kUiFontPixels = 12;

// The designed outer rectangle. Qt sizes the inside of the window, so the
// fixed single-line frame and caption of the designed window come off.
constexpr int kDesignedLeft = 556;
constexpr int kDesignedTop = 258;
constexpr int kDesignedWidth = 782;
constexpr int kDesignedHeight = 571;
constexpr int kFrameWidth = 3;
constexpr int kCaptionHeight = 19;
// The window's inside at the designed size, with the status line.
constexpr int kClientWidth = kDesignedWidth - 2 * kFrameWidth;
constexpr int kClientHeight = kDesignedHeight - 2 * kFrameWidth - kCaptionHeight + kStatusLineHeight;

// The designed controls; fitted to a resizable window the scroll box and
// the status line grow with it and the buttons keep to the right edge.
const QRect kScrollBoxRect(4, 4, 650, 490);
constexpr int kButtonLeft = 668;
constexpr int kButtonTops[] = {8, 40, 72};  // 監視開始, 監視終了, 終了
constexpr int kStatusGap = 2;
constexpr int kStatusRightEdge = kButtonLeft + 85;

const QColor kWindowColour(16, 16, 17);
const QColor kScrollBoxColour(34, 34, 36);
const QColor kButtonColour(0, 0, 77);
const QColor kButtonTextColour(208, 208, 208);
const QColor kMouseEnterColour(0, 64, 0);
const QColor kStatusTextColour(208, 208, 208);

QFont UiFont() {
  QFont font(kUiFontFamily);
  font.setPixelSize(kUiFontPixels);
  return font;
}

void Paint(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, colour);
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

TCuteButton* MakeButton(QWidget* parent, const char* name, const char* caption, int left,
                        int top) {
  constexpr int kButtonWidth = 85;
  constexpr int kButtonHeight = 25;
  auto* button = new TCuteButton(parent);
  button->setObjectName(name);
  button->setText(QString::fromUtf8(caption));
  button->setGeometry(left, top, kButtonWidth, kButtonHeight);
  button->setFont(UiFont());
  button->SetColor(kButtonColour);
  button->SetFontColor(kButtonTextColour);
  button->UseMouseColor = true;
  button->MouseEnterColor = kMouseEnterColour;
  button->MouseLeaveColor = kButtonColour;
  button->Flat = false;
  button->ShowFocusRect = false;
  button->UseDisabledColor = false;
  button->EgnoreContClick = false;
  return button;
}

QAction* MakeAction(QMenu* menu, const char* name, const char* caption) {
  QAction* action = menu->addAction(QString::fromUtf8(caption));
  action->setObjectName(name);
  return action;
}

QAction* MakeSeparator(QMenu* menu, const char* name) {
  QAction* action = menu->addSeparator();
  action->setObjectName(name);
  return action;
}
} // namespace

class TMainForm::MessagePump : public IMessagePump {
public:
  void ProcessMessages() override { QCoreApplication::processEvents(); }
};

namespace {
ISoundPlayer& SoundOr(ISoundPlayer* given, std::unique_ptr<ISoundPlayer>& own) {
  if (given) return *given;
  own = std::make_unique<QtSoundPlayer>();
  return *own;
}
} // namespace

// The status line first: it has the monitor's words before the window acts.
static IMonitorEvents& ListenersOf(MonitorEventFanout& fanout, IMonitorEvents& status, IMonitorEvents& window) {
  fanout.Add(&status);
  fanout.Add(&window);
  return fanout;
}

// The box for an error of a tick opens from the main loop, not inside the
// timer's own delivery: monitoring goes on while the box waits for its OK.
// The picture is cleared once the stop has shown what it shows.
void TMainForm::WindowEvents::On(const MonitorEvent& event) {
  switch (event.kind) {
  case MonitorEvent::Kind::TickFailed:
    QMetaObject::invokeMethod(
        &form_, [message = event.text] { ShowException(message); }, Qt::QueuedConnection);
    break;
  case MonitorEvent::Kind::MonitoringStopped:
    QMetaObject::invokeMethod(&form_, [this] { form_.ClearPictureWithoutIdleImage(); }, Qt::QueuedConnection);
    break;
  default: break;
  }
}

TMainForm::TMainForm(ISoundPlayer* sound, IMonitorMail* mail, QWidget* parent)
    : QMainWindow(parent),
      CameraFactory([] { return std::make_unique<NsOpenCVCamera>(); }),
      pump_(std::make_unique<MessagePump>()),
      session_(MonitorHost{*pump_, SoundOr(sound, ownSound_), ListenersOf(listeners_, statusLog_, windowEvents_)},
               SettingsProfile(), mail, this) {
  setObjectName("MainForm");
  BuildControls();
  BuildMenus();
  FormCreate();
}

TMainForm::~TMainForm() {
  if (MainForm == this) MainForm = nullptr;
}

void TMainForm::BuildControls() {
  setWindowTitle(QString::fromUtf8(kDisplayName));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  // The resources live in a static library: without this the linker drops
  // them and the window, the tray and the version dialog have no icon.
  Q_INIT_RESOURCE(vardocam);
  setWindowIcon(QIcon(":/vardocam/icon.png"));
  setFont(UiFont());

  CaptureTimer = &session_.CaptureTimer();

  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  Paint(client, kWindowColour);
  setCentralWidget(client);

  ScrollBox1 = new QScrollArea(client);
  ScrollBox1->setObjectName("ScrollBox1");
  ScrollBox1->setGeometry(kScrollBoxRect);
  ScrollBox1->setFrameShape(QFrame::NoFrame);
  ScrollBox1->setWidgetResizable(false);
  Paint(ScrollBox1, kScrollBoxColour);
  Paint(ScrollBox1->viewport(), kScrollBoxColour);
  // The content is as large as the scroll range; the picture sits at its
  // top-left corner at its own size, clipped by it.
  scrollContent_ = new QWidget;
  scrollContent_->setObjectName("ScrollRange");
  Paint(scrollContent_, kScrollBoxColour);
  scrollContent_->resize(0, 0);
  pictureView_ = new TPictureView(scrollContent_);
  pictureView_->setObjectName("PictureView");
  pictureView_->move(0, 0);
  pictureView_->resize(0, 0);
  ScrollBox1->setWidget(scrollContent_);
  pictureMarks_ = new TPictureMarks(pictureView_, [this] { return session_.Arming().NextStart(); }, this);
  listeners_.Add(pictureMarks_);
  scrollContent_->installEventFilter(this);
  coverWatch_ = new TCoverWatch(this);
  connect(coverWatch_, &TCoverWatch::CoveredChanged, pictureView_, &TPictureView::SetCovered);
  connect(pictureView_, &TPictureView::PictureSizeChanged, this, [this](QSize size) {
    if (!pictureView_->FitToWindow()) SetScrollRange(size.width(), size.height());
  });

  StatusLine = new QLabel(client);
  StatusLine->setObjectName("StatusLine");
  StatusLine->setFont(UiFont());
  QPalette statusPalette = StatusLine->palette();
  statusPalette.setColor(QPalette::WindowText, kStatusTextColour);
  StatusLine->setPalette(statusPalette);
  StatusLine->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // The warm-up counts down without events: the line is refreshed when
  // its text would change, and not otherwise.
  StatusTimer = new QTimer(this);
  StatusTimer->setObjectName("StatusTimer");
  StatusTimer->setSingleShot(true);
  connect(StatusTimer, &QTimer::timeout, this, [this] { UpdateStatusLine(); });
  statusLog_.OnChange = [this] { UpdateStatusLine(); };

  StartCaptureBtn = MakeButton(client, "StartCaptureBtn", "監視開始", kButtonLeft, kButtonTops[0]);
  EndCaptureBtn = MakeButton(client, "EndCaptureBtn", "監視終了", kButtonLeft, kButtonTops[1]);
  EndBtn = MakeButton(client, "EndBtn", "終了", kButtonLeft, kButtonTops[2]);
  connect(StartCaptureBtn, &QPushButton::clicked, this,
          [this] { RunGuarded([this] { StartCaptureBtnClick(); }); });
  connect(EndCaptureBtn, &QPushButton::clicked, this,
          [this] { RunGuarded([this] { EndCaptureBtnClick(); }); });
  connect(EndBtn, &QPushButton::clicked, this, [this] { RunGuarded([this] { EndBtnClick(); }); });

  QWidget::setTabOrder(ScrollBox1, EndBtn);
  QWidget::setTabOrder(EndBtn, EndCaptureBtn);
  QWidget::setTabOrder(EndCaptureBtn, StartCaptureBtn);

  ShowAfterTimer = new QTimer(this);
  ShowAfterTimer->setObjectName("ShowAfterTimer");
  ShowAfterTimer->setInterval(kCaptureIntervalMs);
  connect(ShowAfterTimer, &QTimer::timeout, this, [this] {
    RunGuarded([this] { ShowAfterTimerTimer(); });
    // Out of the tray it has nothing to do until the window goes back there.
    // Hidden in the tray, a show restarts it at once (ShowAfterTimerWhileNeeded);
    // what remains is a tray host that went away, which no event tells.
    if (!AppSettings.ISMINIMIZE)
      ShowAfterTimer->stop();
    else if (isHidden() && ShowAfterTimer->interval() != kTrayWatchMs)
      ShowAfterTimer->start(kTrayWatchMs);
  });

  setFixedSize(kClientWidth, kClientHeight);
  LayOutControls();
  UpdateStatusLine();
  move(kDesignedLeft, kDesignedTop);
  KeepOnScreen(QRect(kDesignedLeft, kDesignedTop, kDesignedWidth, kDesignedHeight + kStatusLineHeight));
}

void TMainForm::KeepOnScreen(QRect frame) {
  const QScreen* screen = this->screen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const int left = std::max(area.left(), std::min(frame.left(), area.right() - frame.width() + 1));
  const int top = std::max(area.top(), std::min(frame.top(), area.bottom() - frame.height() + 1));
  if (left != frame.left() || top != frame.top()) move(pos() + QPoint(left - frame.left(), top - frame.top()));
}

void TMainForm::LayOutControls() {
  // In the designed, fixed window the growth is 0 and every control sits
  // where it was designed.
  const int wider = width() - kClientWidth;
  const int taller = height() - kClientHeight;
  ScrollBox1->setGeometry(kScrollBoxRect.adjusted(0, 0, wider, taller));
  StatusLine->setGeometry(kScrollBoxRect.left(), kScrollBoxRect.bottom() + 1 + taller + kStatusGap,
                          kStatusRightEdge - kScrollBoxRect.left() + wider, kStatusRows * kStatusRowHeight);
  StartCaptureBtn->move(kButtonLeft + wider, kButtonTops[0]);
  EndCaptureBtn->move(kButtonLeft + wider, kButtonTops[1]);
  EndBtn->move(kButtonLeft + wider, kButtonTops[2]);
  UpdateStatusLine();
}

void TMainForm::ApplyViewSettings() {
  const bool fit = AppSettings.FIT_TO_WINDOW;
  pictureView_->SetFitToWindow(fit);
  ScrollBox1->setWidgetResizable(fit);
  const Qt::ScrollBarPolicy bars = fit ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded;
  ScrollBox1->setHorizontalScrollBarPolicy(bars);
  ScrollBox1->setVerticalScrollBarPolicy(bars);
  if (fit) {
    setMinimumSize(kClientWidth, kClientHeight);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    pictureView_->setGeometry(scrollContent_->rect());
  } else {
    setFixedSize(kClientWidth, kClientHeight);
    const QSize picture = pictureView_->PictureSize();
    SetScrollRange(picture.width(), picture.height());
  }
  LayOutControls();
}

void TMainForm::UpdateStatusLine() {
  const QString text = QString::fromStdString(statusLog_.StatusText());
  const QString separator = QString::fromUtf8(kStatusSeparator);
  // The whole text, a part a line, for whatever the rows had to elide.
  StatusLine->setToolTip(text.split(separator).join('\n'));
  StatusLine->setText(
      StatusRows(text, separator, StatusLine->font(), StatusLine->width(), kStatusRows,
                 QString::fromStdString(statusLog_.Notice()))
          .join('\n'));
  const uint32_t next = statusLog_.MsUntilNextChange();
  if (next != 0)
    StatusTimer->start(static_cast<int>(next));
  else
    StatusTimer->stop();
}

void TMainForm::BuildMenus() {
  MainMenu = menuBar();
  MainMenu->setObjectName("MainMenu");

  F1 = MainMenu->addMenu(QString::fromUtf8("ファイル(&F)"));
  F1->setObjectName("F1");
  EventHistoryMenu = MakeAction(F1, "EventHistoryMenu", "イベント履歴");
  connect(EventHistoryMenu, &QAction::triggered, this,
          [this] { RunGuarded([this] { EventHistoryMenuClick(); }); });
  EventFolderMenu = MakeAction(F1, "EventFolderMenu", "イベントのフォルダを開く");
  connect(EventFolderMenu, &QAction::triggered, this,
          [this] { RunGuarded([this] { EventFolderMenuClick(); }); });
  N2 = MakeSeparator(F1, "N2");
  EndMenu = MakeAction(F1, "EndMenu", "終了(&X)");
  connect(EndMenu, &QAction::triggered, this, [this] { RunGuarded([this] { EndMenuClick(); }); });

  S1 = MainMenu->addMenu(QString::fromUtf8("設定(&S)"));
  S1->setObjectName("S1");
  OptionMenu = MakeAction(S1, "OptionMenu", "オプション(&O)");
  connect(OptionMenu, &QAction::triggered, this,
          [this] { RunGuarded([this] { OptionMenuClick(); }); });
  TestAlarmMenu = MakeAction(S1, "TestAlarmMenu", "テスト警報を鳴らす(&T)");
  connect(TestAlarmMenu, &QAction::triggered, this, [this] { RunGuarded([this] { TestAlarmMenuClick(); }); });

  HelpRootMenu = MainMenu->addMenu(QString::fromUtf8("ヘルプ(&H)"));
  HelpRootMenu->setObjectName("HelpRootMenu");
  HelpMenu = MakeAction(HelpRootMenu, "HelpMenu", (std::string(kDisplayName) + "ヘルプ").c_str());
  HelpMenu->setVisible(false);
  N1 = MakeSeparator(HelpRootMenu, "N1");
  N1->setVisible(false);
  VersionInfoMenu = MakeAction(HelpRootMenu, "VersionInfoMenu", "バージョン情報(&V)");
  connect(VersionInfoMenu, &QAction::triggered, this,
          [this] { RunGuarded([this] { VersionInfoMenuClick(); }); });

  // The bar and its menus in the window's dark scheme.
  InstallMenuDraw(MainMenu, HelpRootMenu->menuAction());

  // The tray icon's menu, drawn by the system; the tray connects its entries.
  TrayPopupMenu = new QMenu(this);
  TrayPopupMenu->setObjectName("TrayPopupMenu");
  TrayDispMenu = MakeAction(TrayPopupMenu, "TrayDispMenu",
                            (std::string(kDisplayName) + "を表示する(&S)").c_str());
  TrayTestAlarmMenu = MakeAction(TrayPopupMenu, "TrayTestAlarmMenu", "テスト警報を鳴らす(&T)");
  connect(TrayTestAlarmMenu, &QAction::triggered, this, [this] { RunGuarded([this] { TestAlarmMenuClick(); }); });
  N11 = MakeSeparator(TrayPopupMenu, "N11");
  TrayExitMenu = MakeAction(TrayPopupMenu, "TrayExitMenu", "終了(&X)");
}

void TMainForm::SetScrollRange(int width, int height) {
  scrollContent_->resize(std::max(width, 0), std::max(height, 0));
}

void TMainForm::StopMonitoring() {
  Cycle().StopMonitoring();
  ClearPictureWithoutIdleImage();
}

// Without "start.jpg" the view would go on showing the last camera frame as
// if monitoring still ran; it goes blank instead.
void TMainForm::ClearPictureWithoutIdleImage() {
  IMonitorCamera* camera = Cycle().Camera();
  nsOpenCV* object = camera ? camera->Detector() : nullptr;
  if (object && object->ColourImage().empty()) pictureView_->Clear();
}

void TMainForm::FormCreate() {
  SetMessageCaption(kDisplayName);
  // Every minimise of the window goes into the tray.
  tray_ = new TTray(this, TrayPopupMenu, TrayDispMenu, TrayExitMenu);
  LoadSettings();
  ApplyViewSettings();
  session_.ConnectBroker();
}

void TMainForm::FormShow() {
  Cycle().ResetStamps();
  std::string why;
  const bool started = session_.Start(
      CameraFactory(), AppSettings.STARTUPMONITORING ? MonitorAtStart::Once : MonitorAtStart::No, &why);
  IMonitorCamera* camera = Cycle().Camera();
  if (nsOpenCV* object = camera ? camera->Detector() : nullptr) {
    object->CreatePreviewWindow();
    object->AttachPreviewWindow(pictureView_);
    SetScrollRange(object->PreviewWidth(), object->PreviewHeight());
  }
  if (!started) {
    // The window stays on screen: no tray behaviour in this run.
    ShowErrorMessage("%s", why.c_str());
    return;
  }
  showAfterEnabled_ = true;
  ShowAfterTimerWhileNeeded();
}

void TMainForm::ShowAfterTimerWhileNeeded() {
  if (!showAfterEnabled_ || !AppSettings.ISMINIMIZE) return;
  if (!ShowAfterTimer->isActive() || (!isHidden() && ShowAfterTimer->interval() != kCaptureIntervalMs))
    ShowAfterTimer->start(kCaptureIntervalMs);
}

void TMainForm::FormCloseQuery() {
  IMonitorCamera* camera = Cycle().Camera();
  // The session's own stop, as the service stops: an open event is
  // finished, and the listeners hear that monitoring ended.
  session_.Stop();
  if (!camera) return;
  Sleep(kCloseWaitMs);
  if (nsOpenCV* object = camera->Detector()) object->ReleaseGreyImage();
  ClearPictureWithoutIdleImage();
  QCoreApplication::processEvents();
  Sleep(kCloseWaitMs);
}

void TMainForm::FormClose() {
  session_.Close();
  AppSettings.WINDOW_TOP = y();
  AppSettings.WINDOW_LEFT = x();
  SaveSettings();
}

void TMainForm::EndBtnClick() { close(); }

void TMainForm::EndMenuClick() { close(); }

void TMainForm::OptionMenuClick() {
  StopMonitoring();
  if (OptionForm && OptionForm->exec() == QDialog::Accepted) {
    ApplyViewSettings();
    session_.Arming().ApplySchedule(AppSettings.ARM_SCHEDULE);
  }
}

void TMainForm::VersionInfoMenuClick() {
  if (AboutBox) AboutBox->exec();
}

void TMainForm::EventHistoryMenuClick() {
  TEventHistoryDialog dialog(statusLog_, EventArchiveRoot(AppSettings.EVENT_DIR, SettingsProfile()), this);
  dialog.exec();
}

// Made when missing, so the menu works before the first event is kept.
void TMainForm::EventFolderMenuClick() {
  const std::string root = EventArchiveRoot(AppSettings.EVENT_DIR, SettingsProfile());
  if (root.empty()) {
    ShowErrorMessage("%s", "イベントの保存先フォルダが決まりません。拡張設定の「保存先フォルダ」を指定してください。");
    return;
  }
  std::error_code error;
  std::filesystem::create_directories(root, error);
  if (error) {
    ShowErrorMessage("%s", ("イベントのフォルダを作れませんでした。拡張設定の「保存先フォルダ」を確認してください。\n" +
                            root + " (" + error.message() + ")").c_str());
    return;
  }
  OpenWithDesktop(root);
}

// What each part did is said on the status line and in the history.
void TMainForm::TestAlarmMenuClick() {
  std::string why;
  if (!session_.TestAlarm(&why)) ShowInfoMessage("%s", why.c_str());
}

// A button holds until the schedule's next edge.
void TMainForm::StartCaptureBtnClick() {
  if (!session_.Arm().Arm(ArmedBy::Button, nullptr)) ShowErrorMessage("%s", CameraFailedMessage(Camera()).c_str());
}

void TMainForm::EndCaptureBtnClick() {
  const bool on = Cycle().Monitoring();
  session_.Arm().Disarm(ArmedBy::Button);
  // Stopped already: the idle picture is put back all the same, as it always was.
  if (!on) StopMonitoring();
}

void TMainForm::CaptureTimerTimer() { Cycle().CaptureTimerTimer(); }

void TMainForm::MinimizeToTray() {
  tray_->MinimizeToTray();
  ShowAfterTimerWhileNeeded();
}

void TMainForm::ShowAfterTimerTimer() { tray_->ShowAfterTimerTimer(); }

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Shown while the tray state is set: back into the tray.
  if (shown_) QMetaObject::invokeMethod(this, [this] { ShowAfterTimerWhileNeeded(); }, Qt::QueuedConnection);
  // Only the first show: coming back from the tray does not repeat it.
  if (shown_) return;
  shown_ = true;
  coverWatch_->Start();
  // The frame the desktop really drew, which may differ from the designed one.
  KeepOnScreen(frameGeometry());
  RunGuarded([this] { FormShow(); });
}

// The tray sets ISMINIMIZE after it has hidden or minimised the window: the
// check comes from the main loop, once that is done.
void TMainForm::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  QMetaObject::invokeMethod(this, [this] { ShowAfterTimerWhileNeeded(); }, Qt::QueuedConnection);
}

void TMainForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange)
    QMetaObject::invokeMethod(this, [this] { ShowAfterTimerWhileNeeded(); }, Qt::QueuedConnection);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // A second close asked for while the first one waits is the same close.
  if (closing_) {
    event->ignore();
    return;
  }
  closing_ = true;
  RunGuarded([this] { FormCloseQuery(); });
  RunGuarded([this] { FormClose(); });
  event->accept();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  LayOutControls();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  // Fitted, the picture view fills the scroll box's content, which follows
  // the box.
  if (watched == scrollContent_ && event->type() == QEvent::Resize && pictureView_->FitToWindow())
    pictureView_->setGeometry(scrollContent_->rect());
  return QMainWindow::eventFilter(watched, event);
}
