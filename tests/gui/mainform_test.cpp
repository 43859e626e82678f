#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QTextBlock>
#include <QTextEdit>
#include <QTextLayout>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "app/Application.h"
#include "app/CuteButton.h"
#include "app/EventHistoryDialog.h"
#include "app/Mainfrm.h"
#include "app/PictureMarks.h"
#include "app/PictureView.h"
#include "monitor/ArmSchedule.h"
#include "app/StatusRows.h"
#include "capture/CameraSource.h"
#include "platform/ExceptionBox.h"
#include "platform/MessageBox.h"
#include "app/Option.h"
#include "settings/Vardocamdef.h"
#include "settings/ZBRegIni.h"
#include "support/FakeClock.h"
#include "support/LoopbackPort.h"
#include "support/MonitorFakes.h"
#include "support/MqttPeer.h"
#include "support/SettingsFile.h"
#include "QtTestApp.h"
#include "support/TempDir.h"

namespace {
class RecordingPresenter : public IMessagePresenter {
public:
  void ShowError(const std::string& caption, const std::string& text) override {
    errors.push_back(caption + "|" + text);
    if (whileOpen) whileOpen();
  }
  void ShowInfo(const std::string& caption, const std::string& text) override {
    infos.push_back(caption + "|" + text);
  }
  std::vector<std::string> errors;
  std::vector<std::string> infos;
  std::function<void()> whileOpen;
};

class MainFormTest : public ::testing::Test {
protected:
  void SetUp() override {
    AppWithProgramFonts();
    oldFolder_ = std::filesystem::current_path();
    std::filesystem::copy_file(std::string(VARDOCAM_SOURCE_DIR) + "/assets/start.jpg",
                               work_.File("start.jpg"));
    std::filesystem::current_path(work_.Path());
    setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1);
    InstallMessagePresenter(&presenter);
    SetApplicationTitle(kDisplayName);
  }
  void TearDown() override {
    form.reset();
    InstallMessagePresenter(nullptr);
    std::filesystem::current_path(oldFolder_);
    unsetenv("XDG_CONFIG_HOME");
  }
  void Settings(const std::vector<std::pair<std::string, std::string>>& values) {
    WriteSettingsFile(config_.Path(), values);
  }
  // A window whose camera is scripted and whose mails are recorded.
  void MakeForm(bool scripted) {
    form = std::make_unique<TMainForm>(&sound, &mail);
    if (scripted)
      form->CameraFactory = [this] {
        auto c = std::make_unique<ScriptedCamera>(log, &cameraDestroyed);
        camera = c.get();
        return c;
      };
  }
  template <class T>
  T* Find(const char* name) {
    return form->findChild<T*>(name);
  }

  TempDir work_;
  TempDir config_;
  std::filesystem::path oldFolder_;
  RecordingPresenter presenter;
  CallLog log;
  RecordingSound sound{log};
  RecordingMail mail{log};
  ScriptedCamera* camera = nullptr;
  bool cameraDestroyed = false;
  std::unique_ptr<TMainForm> form;
};

TEST_F(MainFormTest, LayoutCaptionsColoursAndNames) {
  MakeForm(false);
  EXPECT_EQ(form->windowTitle(), QString::fromUtf8("防犯カメラ・ヴァルド"));
  EXPECT_EQ(MessageCaption(), "防犯カメラ・ヴァルド");
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(form->minimumSize(), form->maximumSize());  // not resizable

  auto* box = Find<QScrollArea>("ScrollBox1");
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->geometry(), QRect(4, 4, 650, 490));
  EXPECT_EQ(box->palette().color(QPalette::Window), QColor(34, 34, 36));
  EXPECT_EQ(form->centralWidget()->palette().color(QPalette::Window), QColor(16, 16, 17));

  struct Button {
    const char* name;
    const char* caption;
    QRect rect;
  };
  for (const Button& b : {Button{"StartCaptureBtn", "監視開始", QRect(668, 8, 85, 25)},
                          Button{"EndCaptureBtn", "監視終了", QRect(668, 40, 85, 25)},
                          Button{"EndBtn", "終了", QRect(668, 72, 85, 25)}}) {
    SCOPED_TRACE(b.name);
    auto* button = Find<TCuteButton>(b.name);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QString::fromUtf8(b.caption));
    EXPECT_EQ(button->geometry(), b.rect);
    EXPECT_EQ(button->Color(), QColor(0, 0, 77));
    EXPECT_EQ(button->FontColor(), QColor(208, 208, 208));
    EXPECT_FALSE(button->ShowFocusRect);
    EXPECT_FALSE(button->Flat);
    // The designed font, drawn with its installed metric twin.
    EXPECT_EQ(button->font().family(), QString::fromUtf8("ＭＳ Ｐゴシック"));
    EXPECT_EQ(button->font().pixelSize(), 12);
    EXPECT_EQ(QFontInfo(button->font()).family(), "IPAPGothic");
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(button, &enter);
    EXPECT_EQ(button->CurrentColor(), QColor(0, 64, 0));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(button, &leave);
    EXPECT_EQ(button->CurrentColor(), QColor(0, 0, 77));
  }
  auto nextTabStop = [this](QWidget* w) {
    do w = w->nextInFocusChain();
    while (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisibleTo(form.get()));
    return w;
  };
  EXPECT_EQ(nextTabStop(form->ScrollBox1), form->EndBtn);
  EXPECT_EQ(nextTabStop(form->EndBtn), form->EndCaptureBtn);
  EXPECT_EQ(nextTabStop(form->EndCaptureBtn), form->StartCaptureBtn);

  auto* capture = Find<QTimer>("CaptureTimer");
  ASSERT_NE(capture, nullptr);
  EXPECT_EQ(capture->interval(), 10);
  EXPECT_FALSE(capture->isActive());
  auto* showAfter = Find<QTimer>("ShowAfterTimer");
  ASSERT_NE(showAfter, nullptr);
  EXPECT_EQ(showAfter->interval(), 10);
  EXPECT_FALSE(showAfter->isActive());
}

TEST_F(MainFormTest, MenuTree) {
  MakeForm(false);
  const QList<QAction*> bar = form->MainMenu->actions();
  ASSERT_EQ(bar.size(), 3);
  EXPECT_EQ(bar[0]->text(), QString::fromUtf8("ファイル(&F)"));
  EXPECT_EQ(bar[1]->text(), QString::fromUtf8("設定(&S)"));
  EXPECT_EQ(bar[2]->text(), QString::fromUtf8("ヘルプ(&H)"));
  EXPECT_EQ(bar[0]->menu()->objectName(), "F1");
  EXPECT_EQ(bar[1]->menu()->objectName(), "S1");
  EXPECT_EQ(bar[2]->menu()->objectName(), "HelpRootMenu");

  auto items = [](QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
      out << a->objectName() + ":" + (a->isSeparator() ? "-" : a->text()) + ":" +
                 (a->isVisible() ? "shown" : "hidden");
    return out;
  };
  EXPECT_EQ(items(form->F1), (QStringList{QString::fromUtf8("EventHistoryMenu:イベント履歴:shown"),
                                          QString::fromUtf8("EventFolderMenu:イベントのフォルダを開く:shown"),
                                          "N2:-:shown", QString::fromUtf8("EndMenu:終了(&X):shown")}));
  EXPECT_EQ(items(form->S1), (QStringList{QString::fromUtf8("OptionMenu:オプション(&O):shown"),
                                          QString::fromUtf8("TestAlarmMenu:テスト警報を鳴らす(&T):shown")}));
  EXPECT_EQ(items(form->HelpRootMenu),
            (QStringList{QString::fromUtf8("HelpMenu:防犯カメラ・ヴァルドヘルプ:hidden"),
                         "N1:-:hidden",
                         QString::fromUtf8("VersionInfoMenu:バージョン情報(&V):shown")}));
  EXPECT_EQ(items(form->TrayPopupMenu),
            (QStringList{QString::fromUtf8("TrayDispMenu:防犯カメラ・ヴァルドを表示する(&S):shown"),
                         QString::fromUtf8("TrayTestAlarmMenu:テスト警報を鳴らす(&T):shown"), "N11:-:shown", QString::fromUtf8("TrayExitMenu:終了(&X):shown")}));
}

// The menu's test alarm, monitoring off, tries each part and says each in the
// history; another while the first sounds is refused, from the tray too.
TEST_F(MainFormTest, TestAlarmFromTheMenuTriesEachPartAndSaysIt) {
  Settings({{"USESOUND", "\"1\""}, {"SOUND", "\"Alarm.wav\""}, {"USEMAIL", "\"1\""}});
  MakeForm(true);
  form->show();
  QApplication::processEvents();
  log.clear();
  form->TestAlarmMenu->trigger();
  QApplication::processEvents();
  EXPECT_EQ(log, (CallLog{"play Alarm.wav", "test mail"}));
  std::vector<std::string> said;
  for (const StatusEntry& entry : form->Status().History()) said.push_back(entry.text);
  // The sound's and the events' lines are checked with the cycle itself.
  for (const char* line : {"テスト警報を開始しました（実際の警報ではありません）", "テスト警報: 警報メールを送信しました",
                           "テスト警報: MQTTは使わない設定です"})
    EXPECT_NE(std::find(said.begin(), said.end(), line), said.end()) << line;
  form->TrayTestAlarmMenu->trigger();
  ASSERT_EQ(presenter.infos.size(), 1u);
  EXPECT_NE(presenter.infos[0].find("まだ終わっていません"), std::string::npos);
}

TEST_F(MainFormTest, FirstShowShowsTheIdlePictureAndSetsTheScrollRange) {
  MakeForm(false);
  form->show();
  QApplication::processEvents();
  ASSERT_NE(form->Camera(), nullptr);
  TPictureView* view = form->PictureView();
  EXPECT_EQ(view->size(), QSize(640, 480));
  EXPECT_EQ(view->pos(), QPoint(0, 0));
  EXPECT_EQ(view->Picture().size(), QSize(640, 480));
  EXPECT_EQ(form->ScrollBox1->widget()->size(), QSize(640, 480));
  EXPECT_FALSE(form->ScrollBox1->horizontalScrollBar()->isVisible());
  EXPECT_FALSE(form->ScrollBox1->verticalScrollBar()->isVisible());
  EXPECT_FALSE(form->CaptureTimer->isActive());
  // Out of the tray the timer would have nothing to do: it waits.
  EXPECT_FALSE(form->ShowAfterTimer->isActive());
  EXPECT_TRUE(presenter.errors.empty());
  // Showing again (as from the tray) does not repeat the first show.
  IMonitorCamera* first = form->Camera();
  form->hide();
  form->show();
  EXPECT_EQ(form->Camera(), first);
}

TEST_F(MainFormTest, ShowAfterTimerRunsOnlyWhileTheTrayStateIsSet) {
  // Started in the tray state: it runs from the first show.
  Settings({{"ISMINIMIZE", "dword:00000001"}});
  MakeForm(false);
  form->show();
  QApplication::processEvents();
  EXPECT_TRUE(form->ShowAfterTimer->isActive());
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->isMinimized(); }, 1000));
  // Restored (this desktop has no tray, so the window was only minimised):
  // the next tick finds nothing to do and the timer stops.
  form->showNormal();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->ShowAfterTimer->isActive(); }, 1000));
  EXPECT_FALSE(AppSettings.ISMINIMIZE);
  // A minimise by the user sets the state again, and the timer follows.
  form->showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->ShowAfterTimer->isActive(); }, 1000));
  EXPECT_TRUE(AppSettings.ISMINIMIZE);
  form->showNormal();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->ShowAfterTimer->isActive(); }, 1000));
  form->MinimizeToTray();
  EXPECT_TRUE(form->ShowAfterTimer->isActive());
}

TEST_F(MainFormTest, AutoStartWithoutACameraShowsOneErrorAndStaysOnScreen) {
  Settings({{"STARTUPMONITORING", "dword:00000001"}, {"ISMINIMIZE", "dword:00000001"}});
  MakeForm(false);  // the real capture: no camera 0 on this machine
  form->show();
  QApplication::processEvents();
  ASSERT_EQ(presenter.errors.size(), 1u);
  EXPECT_EQ(presenter.errors[0],
            "防犯カメラ・ヴァルド|カメラの接続に失敗しました。\n機器の接続などを確認してください。\n"
            "接続先: カメラ番号 0 (この番号の映像機器が見つかりません)");
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->CaptureTimer->isActive());
  EXPECT_FALSE(form->ShowAfterTimer->isActive());
}

TEST_F(MainFormTest, AutoStartWithACameraMonitorsAtOnce) {
  Settings({{"STARTUPMONITORING", "dword:00000001"}, {"CAMERANUMBER", "dword:00000003"}});
  MakeForm(true);
  form->show();
  QApplication::processEvents();
  EXPECT_TRUE(form->CaptureTimer->isActive());
  EXPECT_EQ(camera->opens, 1);
  EXPECT_EQ(log[0], "load start.jpg");
  EXPECT_EQ(log[1], "open 3");
  EXPECT_TRUE(presenter.errors.empty());
}

TEST_F(MainFormTest, ButtonsStartAndStopMonitoring) {
  MakeForm(true);
  form->show();
  QApplication::processEvents();
  camera->openResult = false;
  QTest::mouseClick(form->StartCaptureBtn, Qt::LeftButton);
  ASSERT_EQ(presenter.errors.size(), 1u);
  EXPECT_FALSE(form->CaptureTimer->isActive());
  camera->openResult = true;
  QTest::mouseClick(form->StartCaptureBtn, Qt::LeftButton);
  EXPECT_TRUE(form->CaptureTimer->isActive());
  QTest::mouseClick(form->StartCaptureBtn, Qt::LeftButton);  // nothing more happens
  EXPECT_EQ(camera->opens, 2);
  QTest::mouseClick(form->EndCaptureBtn, Qt::LeftButton);
  EXPECT_FALSE(form->CaptureTimer->isActive());
  EXPECT_EQ(log.back(), "show");
  EXPECT_EQ(log[log.size() - 2], "load start.jpg");
  EXPECT_EQ(presenter.errors.size(), 1u);
}

TEST_F(MainFormTest, OptionsStopMonitoringAndDoNotRestartIt) {
  MakeForm(true);
  TOptionForm options(form.get());
  OptionForm = &options;
  form->show();
  QApplication::processEvents();
  ASSERT_TRUE(form->StartMonitoring());
  bool wasOffWhileOpen = false;
  QTimer::singleShot(0, &options, [&] {
    wasOffWhileOpen = !form->CaptureTimer->isActive();
    options.reject();
  });
  form->OptionMenu->trigger();
  OptionForm = nullptr;
  EXPECT_TRUE(wasOffWhileOpen);
  EXPECT_FALSE(form->CaptureTimer->isActive());
}

TEST_F(MainFormTest, CloseWaitsTwiceShowsTheIdlePictureAndSavesThePosition) {
  Settings({{"WINDOW_LEFT", "dword:00000005"}, {"WINDOW_TOP", "dword:00000006"}});
  FakeClock clock{5000};
  MakeForm(true);
  form->show();
  QApplication::processEvents();
  // The stored position is not applied: the designed one is, moved only
  // as far as this screen needs to hold the whole designed window.
  const QRect area = form->screen()->availableGeometry();
  EXPECT_EQ(form->pos(), QPoint(std::min(556, area.right() + 1 - 782),
                                std::min(258, area.bottom() + 1 - 571 - kStatusLineHeight)));
  form->move(100, 120);
  ASSERT_TRUE(form->StartMonitoring());
  log.clear();
  form->EndBtn->click();
  EXPECT_EQ(clock.TickCount(), 5000u + 2 * kCloseWaitMs);
  EXPECT_EQ(log, (CallLog{"close", "load start.jpg", "show"}));
  EXPECT_TRUE(cameraDestroyed);
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(form->CaptureTimer->isActive());
  ZBRegIni store(config_.File("Korvane/Vardocam.reg"));
  EXPECT_EQ(store.ReadInteger("SETTING", "WINDOW_LEFT", 0), 100);
  EXPECT_EQ(store.ReadInteger("SETTING", "WINDOW_TOP", 0), 120);
}

// A close while monitoring leaves monitoring "OFF" at the broker, said
// before "offline".
TEST_F(MainFormTest, CloseWhileMonitoringLeavesTheBrokerMonitoringOff) {
  MqttBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Log();
  MqttRecorder recorder(broker.Port(), "vardocam/default/#");
  char port[16];
  std::snprintf(port, sizeof port, "dword:%08x", static_cast<unsigned>(broker.Port()));
  Settings({{"MQTT_HOSTNAME", "\"127.0.0.1\""}, {"MQTT_PORTNUMBER", port}});
  MakeForm(true);
  form->show();
  ASSERT_TRUE(form->StartMonitoring());
  ASSERT_TRUE(recorder.WaitFor("vardocam/default/monitoring", "ON"));
  form->EndBtn->click();
  ASSERT_TRUE(recorder.WaitFor("vardocam/default/availability", "offline"));
  std::vector<std::string> last;
  for (const auto& m : recorder.Messages()) last.push_back(m.topic + " " + m.payload);
  EXPECT_EQ(std::vector<std::string>(last.end() - 2, last.end()),
            (std::vector<std::string>{"vardocam/default/monitoring OFF", "vardocam/default/availability offline"}));
}

TEST_F(MainFormTest, CloseInsideATicksPumpEndsThatTickBeforeTheCameraGoes) {
  Settings({{"START_MOVE_OBJECT", "dword:00000000"}, {"USESOUND", "dword:00000001"}});
  FakeClock clock{100000};
  MakeForm(true);
  form->show();
  QApplication::processEvents();
  ASSERT_TRUE(form->StartMonitoring());
  clock.Advance(10);
  form->CaptureTimerTimer();  // takes the reference
  camera->motion = true;
  log.clear();
  // The close is waiting in the queue when the tick reaches its pump.
  QMetaObject::invokeMethod(form.get(), "close", Qt::QueuedConnection);
  clock.Advance(10);
  form->CaptureTimerTimer();
  EXPECT_TRUE(cameraDestroyed);
  EXPECT_EQ(mail.alerts, 0);
  EXPECT_EQ(sound.plays, 0);
  EXPECT_EQ(log, (CallLog{"grab result.bmp", "load result.bmp", "grey", "binarize -1", "detect 4",
                          "show", "close", "load start.jpg", "show"}));
  EXPECT_FALSE(form->Cycle().TickBusy());
}

TEST_F(MainFormTest, ErrorsOfTicksUnderAnOpenBoxAreNotStacked) {
  // A mailbox that fails after login fails again on every tick.
  Settings({{"IS_CHECK", "dword:00000001"}, {"CHECK_INTERVAL", "dword:00000000"}});
  MakeForm(true);
  form->show();
  QApplication::processEvents();
  mail.onCheck = [] { throw std::runtime_error("-ERR メールボックスを開けません"); };
  ASSERT_TRUE(form->StartMonitoring());
  int failuresWhileOpen = 0;
  presenter.whileOpen = [&] {
    // The box's own loop keeps the timer and the ticks running.
    const int before = mail.checks;
    QTest::qWait(300);
    failuresWhileOpen = mail.checks - before;
    form->StopMonitoring();
  };
  QTest::qWait(300);
  presenter.whileOpen = nullptr;
  EXPECT_GT(failuresWhileOpen, 0);
  ASSERT_EQ(presenter.errors.size(), 1u);
  EXPECT_EQ(presenter.errors[0], "防犯カメラ・ヴァルド|-ERR メールボックスを開けません");
  EXPECT_FALSE(form->Cycle().TickBusy());
}
} // namespace

// The person the check found is boxed in the live picture for a while, and not after the stop.
TEST_F(MainFormTest, ThePersonFoundIsBoxedInThePictureForAWhileAndNotAfterTheStop) {
  MakeForm(true);
  form->show();
  QApplication::processEvents();
  ASSERT_TRUE(form->StartMonitoring());
  TPictureView* view = form->PictureView();
  const cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(20, 40, 60));  // the scripted camera shows none
  view->ShowImage(frame);
  QTimer& timer = form->PictureMarks()->BoxTimer();
  EXPECT_EQ(timer.interval(), kPersonBoxShowMs);
  const QColor edge(255, 64, 32);
  for (const bool stop : {false, true}) {
    form->PictureMarks()->On(MonitorEvent::PersonDetected({100, 80, 60, 120}));
    EXPECT_EQ(view->Mark(), QRect(100, 80, 60, 120));
    EXPECT_TRUE(timer.isActive());
    const QImage shown = view->grab().toImage();  // drawn along the box's edge only
    EXPECT_EQ(shown.pixelColor(100, 140), edge);
    EXPECT_NE(shown.pixelColor(130, 140), edge);
    if (stop) {
      form->EndCaptureBtn->click();
    } else {
      timer.start(1);
      EXPECT_TRUE(QTest::qWaitFor([&] { return view->Mark().isNull(); }, 1000));
    }
    EXPECT_FALSE(timer.isActive());
    EXPECT_NE(view->grab().toImage().pixelColor(100, 140), edge);  // the box is gone
  }
}

// Off by the schedule or the button, the idle picture says when monitoring starts again.
TEST_F(MainFormTest, TheIdlePictureSaysWhenTheScheduleStartsMonitoringAgain) {
  static const char* const days[] = {"日", "月", "火", "水", "木", "金", "土"};
  const std::time_t now = std::time(nullptr);
  std::tm tomorrow{};
  localtime_r(&now, &tomorrow);
  const std::string day = days[(tomorrow.tm_wday + 1) % 7];
  tomorrow.tm_mday += 1;
  tomorrow.tm_hour = tomorrow.tm_min = tomorrow.tm_sec = 0;
  tomorrow.tm_isdst = -1;
  const QString next = QString::fromStdString(NextStartText(std::mktime(&tomorrow)));
  Settings({{"ARM_SCHEDULE", "\"" + day + " 00:00-00:01\""}});
  MakeForm(true);
  form->show();
  QApplication::processEvents();
  TPictureView* view = form->PictureView();
  EXPECT_EQ(view->Caption(), next);
  form->StartCaptureBtn->click();
  EXPECT_EQ(view->Caption(), QString());
  form->EndCaptureBtn->click();
  EXPECT_EQ(view->Caption(), next);
}

TEST_F(MainFormTest, LargerIdlePictureMakesTheScrollBoxScrollOverAllOfIt) {
  cv::Mat large(960, 1280, CV_8UC3, cv::Scalar(20, 40, 60));
  ASSERT_TRUE(cv::imwrite(work_.File("start.jpg"), large));
  MakeForm(false);
  form->show();
  QApplication::processEvents();
  TPictureView* view = form->PictureView();
  EXPECT_EQ(view->size(), QSize(1280, 960));
  EXPECT_EQ(form->Camera()->Detector()->PreviewWidth(), 1280);
  EXPECT_EQ(form->Camera()->Detector()->PreviewHeight(), 960);
  QScrollBar* across = form->ScrollBox1->horizontalScrollBar();
  QScrollBar* down = form->ScrollBox1->verticalScrollBar();
  EXPECT_TRUE(across->isVisible());
  EXPECT_TRUE(down->isVisible());
  // Scrolled to the end, the picture's far corner is in sight.
  across->setValue(across->maximum());
  down->setValue(down->maximum());
  const QRect visible = form->ScrollBox1->viewport()->rect().translated(across->value(), down->value());
  EXPECT_TRUE(visible.contains(QPoint(1279, 959)));
}

namespace {
// How long a test waits for the first camera frame to reach the view.
constexpr int kFirstFrameWaitMs = 20000;

// A 1920 x 1080 camera: a video file of frames getting lighter, each with a
// white 16 x 16 mark in its bottom-right corner.
std::string WriteHdVideo(const TempDir& folder) {
  const std::string video = folder.File("camera-1080p.avi");
  const cv::Size size(1920, 1080);
  cv::VideoWriter writer(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, size);
  for (int i = 0; i < 25; ++i) {
    cv::Mat frame(size, CV_8UC3, cv::Scalar::all(40 + 4 * i));
    frame(cv::Rect(1904, 1064, 16, 16)).setTo(cv::Scalar::all(255));
    writer.write(frame);
  }
  return video;
}

class HdCameraTest : public MainFormTest {
protected:
  void SetUp() override {
    MainFormTest::SetUp();
    saved_ = CurrentCaptureTimings();
    CaptureTimings quick = saved_;
    quick.settleMs = 0;
    SetCaptureTimings(quick);
  }
  void TearDown() override {
    MainFormTest::TearDown();
    SetCaptureTimings(saved_);
  }
  void StartHdCamera(std::vector<std::pair<std::string, std::string>> settings = {}) {
    settings.push_back({"CAMERA_URL", "\"" + WriteHdVideo(work_) + "\""});
    Settings(settings);
    MakeForm(false);
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    ASSERT_TRUE(form->StartMonitoring());
    ASSERT_TRUE(QTest::qWaitFor([this] { return form->PictureView()->PictureSize() == QSize(1920, 1080); },
                                kFirstFrameWaitMs));
    QApplication::processEvents();
  }
  const cv::Mat& DetectorFrame() { return form->Camera()->Detector()->ColourImage(); }

  CaptureTimings saved_;
};

TEST_F(HdCameraTest, LargerFramesAreScrollableWholeAndStoppingGoesBackToTheIdleSize) {
  StartHdCamera();
  form->CaptureTimer->stop();  // no more ticks: the frame stays still
  QApplication::processEvents();
  EXPECT_EQ(form->ScrollBox1->widget()->size(), QSize(1920, 1080));
  // Only the part in sight is converted, and painting it again converts
  // nothing more.
  TPictureView* view = form->PictureView();
  EXPECT_EQ(view->PictureArea(), QRect(QPoint(0, 0), form->ScrollBox1->viewport()->size()));
  const int conversions = view->Conversions();
  view->update();
  QApplication::processEvents();
  EXPECT_EQ(view->Conversions(), conversions);

  QScrollBar* across = form->ScrollBox1->horizontalScrollBar();
  QScrollBar* down = form->ScrollBox1->verticalScrollBar();
  across->setValue(across->maximum());
  down->setValue(down->maximum());
  QApplication::processEvents();
  EXPECT_TRUE(view->PictureArea().contains(QPoint(1919, 1079)));
  EXPECT_LE(view->PictureArea().width(), 650);
  const QRect visible = form->ScrollBox1->viewport()->rect().translated(across->value(), down->value());
  EXPECT_TRUE(visible.contains(QPoint(1919, 1079)));
  // The far corner's white mark on the screen.
  const QImage shown = form->ScrollBox1->viewport()->grab().toImage();
  EXPECT_GT(qGray(shown.pixel(shown.width() - 4, shown.height() - 4)), 230);

  form->EndCaptureBtn->click();
  EXPECT_EQ(form->PictureView()->PictureSize(), QSize(640, 480));
  EXPECT_EQ(form->ScrollBox1->widget()->size(), QSize(640, 480));
}

TEST_F(HdCameraTest, InTheTrayNothingIsConvertedAndComingBackShowsTheNewestFrame) {
  StartHdCamera();
  TPictureView* view = form->PictureView();
  form->hide();  // what going into the tray does to the window
  const int before = view->Conversions();
  const uchar firstGrey = DetectorFrame().at<cv::Vec3b>(100, 100)[0];
  // Frames keep coming and the detector keeps working on them.
  ASSERT_TRUE(QTest::qWaitFor([&] { return DetectorFrame().at<cv::Vec3b>(100, 100)[0] != firstGrey; },
                              kFirstFrameWaitMs));
  QTest::qWait(200);
  EXPECT_EQ(view->Conversions(), before);

  form->StopMonitoring();  // holds the newest frame still for the comparison
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  QApplication::processEvents();
  EXPECT_GT(view->Conversions(), before);
  const cv::Vec3b newest = DetectorFrame().at<cv::Vec3b>(100, 100);
  EXPECT_EQ(view->Picture().pixelColor(100, 100), QColor(newest[2], newest[1], newest[0]));
}

TEST_F(HdCameraTest, FittedTheWholeFrameIsSeenAndTheWindowResizesWithItsButtonsAtTheRight) {
  StartHdCamera({{"FIT_TO_WINDOW", "dword:00000001"}});
  EXPECT_NE(form->minimumSize(), form->maximumSize());
  const QImage shown = form->ScrollBox1->viewport()->grab().toImage();
  // 1920 x 1080 into 650 x 490: the white mark at the bottom-right of a
  // 650 x 365 picture, no scroll bar needed.
  EXPECT_GT(qGray(shown.pixel(648, 363)), 200);
  EXPECT_FALSE(form->ScrollBox1->horizontalScrollBar()->isVisible());
  // The detector and the mails still work on the whole frame.
  EXPECT_EQ(DetectorFrame().size(), cv::Size(1920, 1080));

  const QSize designed = form->size();
  form->resize(designed + QSize(300, 200));
  QApplication::processEvents();
  EXPECT_EQ(form->ScrollBox1->geometry(), QRect(4, 4, 950, 690));
  EXPECT_EQ(form->StartCaptureBtn->geometry(), QRect(968, 8, 85, 25));
  EXPECT_EQ(form->EndBtn->geometry(), QRect(968, 72, 85, 25));
  EXPECT_EQ(form->StatusLine->geometry().top(), form->ScrollBox1->geometry().bottom() + 3);
  EXPECT_EQ(form->PictureView()->PictureRect(), QRect(0, 0, 950, 534));

  // Switched off in the options, the window is the designed one again.
  AppSettings.FIT_TO_WINDOW = false;
  TOptionForm options(form.get());
  OptionForm = &options;
  QTimer::singleShot(0, &options, [&] { options.SettiongBtnClick(); });
  form->OptionMenu->trigger();
  OptionForm = nullptr;
  QApplication::processEvents();
  EXPECT_EQ(form->size(), designed);
  EXPECT_EQ(form->ScrollBox1->geometry(), QRect(4, 4, 650, 490));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
}

// The scroll box's pixels that the picture does not cover and that are not
// the box's colour, as the window's backing store holds them: a fresh
// paint (QWidget::grab) would hide what a partial update left behind.
int StrayPixels(TMainForm& form) {
  QWidget* viewport = form.ScrollBox1->viewport();
  const QImage shown = form.screen()->grabWindow(form.winId()).toImage().copy(
      QRect(viewport->mapTo(&form, QPoint()), viewport->size()));
  TPictureView* view = form.PictureView();
  const QRect picture = view->PictureRect().translated(view->mapTo(viewport, QPoint()));
  int stray = 0;
  for (int y = 0; y < shown.height(); ++y)
    for (int x = 0; x < shown.width(); ++x)
      stray += !picture.contains(x, y) && shown.pixelColor(x, y) != QColor(34, 34, 36);
  return stray;
}

// A 16:9 frame after the 4:3 idle picture, and the idle picture after the stop.
TEST_F(HdCameraTest, WhatThePictureDoesNotCoverShowsTheBoxColour) {
  for (const bool fit : {true, false}) {
    SCOPED_TRACE(fit ? "fitted" : "own size");
    form.reset();
    StartHdCamera({{"FIT_TO_WINDOW", fit ? "dword:00000001" : "dword:00000000"}});
    EXPECT_EQ(StrayPixels(*form), 0);
    form->EndCaptureBtn->click();
    QApplication::processEvents();
    EXPECT_EQ(StrayPixels(*form), 0);
  }
}
} // namespace

// In the window's font and width: rows break between parts where the rest
// still fits, else after punctuation or a blank; only what two rows cannot
// hold is elided, never the notice to keep.
TEST(StatusRows, PartsStayWholeWordsUnbrokenAndOnlyWhatDoesNotFitIsElided) {
  AppWithProgramFonts();
  QFont font(QString::fromUtf8("ＭＳ Ｐゴシック"));
  font.setPixelSize(12);
  const auto U = [](const char* text) { return QString::fromUtf8(text); };
  const QString bar = QString::fromUtf8("　｜　");
  const QString state = QString::fromUtf8("監視中（警報中）　｜　最終検出 13:00:02");
  const QString mail = QString::fromUtf8("警報メール 13:00:02 送信できませんでした：");
  const QString smtp = U("SMTPサーバにログインできませんでした。");
  const QString why = U("ユーザ名とパスワードを確認してください。");
  const QString request = QString::fromUtf8("受信確認 13:01:00 要求なし");
  const QString sent = U("警報メール 13:00:02 送信しました");
  const QString pin = U("メールでの操作に誤った暗証番号が使われました(差出人: someone@example.jp)。");
  const QString failed = state + bar + mail + smtp;
  const struct { QString text, keep; QStringList rows; } table[] = {
      {failed + why, {}, {state, mail + smtp + why}},
      // After 「。」, not inside 「ユーザ名」.
      {failed + why + bar + request, {}, {failed, why + bar + request}},
      {failed + why + bar + request + bar + mail + smtp + why, {},
       {failed, why + bar + request + bar + mail + U("SMTPサーバに…")}},
      // The notice that would be elided has the last row.
      {failed + why + bar + request + bar + pin, pin, {failed + U("ユーザ名…"), pin}},
      {failed + why + bar + pin, pin, {failed, why + bar + pin}},
      // Between two parts rather than inside 「送信しました」 or after a blank.
      {state + bar + sent + bar + request + bar + mail + smtp + why + bar + request, {},
       {state + bar + sent + bar + request, mail + smtp + why + bar + U("受信確認 …")}},
  };
  for (const auto& row : table)
    EXPECT_EQ(StatusRows(row.text, bar, font, 749, kStatusRows, row.keep).join('|').toStdString(),
              row.rows.join('|').toStdString());
}

TEST_F(MainFormTest, StatusLineFollowsTheCycleAndTheHistoryListsItsEvents) {
  Settings({{"START_MOVE_OBJECT", "dword:00000000"}, {"USEMAIL", "dword:00000001"}});
  FakeClock clock{100000};
  MakeForm(true);
  form->show();
  QApplication::processEvents();
  auto* line = form->StatusLine;
  EXPECT_EQ(line->text(), QString::fromUtf8("監視停止中"));
  EXPECT_EQ(line->geometry(), QRect(4, 496, 749, kStatusRows * kStatusRowHeight));
  // Both rows in sight, inside the window.
  EXPECT_LE(line->fontMetrics().lineSpacing(), kStatusRowHeight);
  EXPECT_LE(line->geometry().bottom(), form->centralWidget()->height() - 1);
  ASSERT_TRUE(form->StartMonitoring());
  clock.Advance(10);
  form->CaptureTimerTimer();
  camera->motion = true;
  clock.Advance(10);
  form->CaptureTimerTimer();
  EXPECT_EQ(mail.alerts, 1);
  EXPECT_TRUE(line->text().startsWith(QString::fromUtf8("監視中（警報中）　｜　最終検出 ")));
  EXPECT_TRUE(line->text().endsWith(QString::fromUtf8(" 送信しました")));
  EXPECT_EQ(line->toolTip(), line->text().replace(QString::fromUtf8("　｜　"), "\n"));  // a part a line

  // A refused login and the mailbox's answer, at the window's usual size:
  // all of it is in sight.
  const std::string refused = "SMTPサーバにログインできませんでした。ユーザ名とパスワードを確認してください。";
  form->Status().On(MonitorEvent::AlertMailDone(false, refused));
  form->Status().On(MonitorEvent::RequestCheckDone(true, 0, ""));
  EXPECT_FALSE(line->text().contains(QChar(0x2026))) << line->text().toStdString();
  EXPECT_TRUE(line->text().endsWith(QString::fromUtf8(" 要求なし")));
  EXPECT_TRUE(line->toolTip().contains(QString::fromStdString(refused)));

  // The history: every line in the window's font, wrapped under its text in
  // a window that can be made narrower, the newest in sight.
  QStringList listed;
  QTimer::singleShot(0, form.get(), [&] {
    auto* dialog = form->findChild<TEventHistoryDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), QString::fromUtf8("イベント履歴"));
    listed = dialog->HistoryText->toPlainText().split('\n');
    QScrollBar* down = dialog->HistoryText->verticalScrollBar();
    EXPECT_EQ(down->value(), down->maximum());
    EXPECT_LT(dialog->minimumWidth(), dialog->width());
    dialog->resize(dialog->minimumSize());
    QApplication::processEvents();
    QTextDocument* document = dialog->HistoryText->document();
    for (QTextBlock block = document->begin(); block != document->end(); block = block.next()) {
      SCOPED_TRACE(block.text().toStdString());
      for (const QGlyphRun& run : block.layout()->glyphRuns(0, block.length()))
        EXPECT_EQ(run.rawFont().familyName().toLower().toStdString(), "ipapgothic");
      if (block.text().contains(QString::fromStdString(refused))) {
        EXPECT_GT(block.layout()->lineCount(), 1);
        EXPECT_GT(block.layout()->lineAt(1).x(), block.layout()->lineAt(0).x());
      }
    }
    dialog->CloseBtn->click();
  });
  form->EventHistoryMenu->trigger();
  ASSERT_EQ(listed.size(), 6);
  EXPECT_TRUE(listed[0].endsWith(QString::fromUtf8("  監視を開始しました")));
  EXPECT_TRUE(listed[1].endsWith(QString::fromUtf8("  動体を検出しました")));
  EXPECT_TRUE(listed[2].endsWith(QString::fromUtf8("  警報を開始しました")));
  EXPECT_TRUE(listed[3].endsWith(QString::fromUtf8("  警報メールを送信しました")));
  EXPECT_TRUE(listed[4].endsWith(QString::fromStdString(refused)));
}

// Pictures for the documentation, taken only when asked:
// VARDOCAM_SCREENSHOT_DIR=docs/screenshots QT_QPA_PLATFORM=xcb under Xvfb.
// A 16:9 camera, fitted to the window, sees something move, the SMTP
// server refuses the connection, and the mailbox holds no request: the
// status line says so in its two rows, and the history lists it.
TEST_F(HdCameraTest, Screenshots) {
  const char* dir = std::getenv("VARDOCAM_SCREENSHOT_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "VARDOCAM_SCREENSHOT_DIR not set";
  const std::string video = work_.File("moving.avi");
  {
    // A room: a floor, a wall, a door and a window, in dim light.
    cv::Mat scene(360, 640, CV_8UC3, cv::Scalar(70, 80, 90));
    scene(cv::Rect(0, 260, 640, 100)).setTo(cv::Scalar(40, 55, 75));
    scene(cv::Rect(440, 60, 120, 200)).setTo(cv::Scalar(30, 45, 60));
    scene(cv::Rect(80, 30, 180, 110)).setTo(cv::Scalar(150, 130, 110));
    cv::VideoWriter writer(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(1280, 720));
    for (int i = 0; i < 50; ++i) {
      cv::Mat frame = scene.clone();
      // White with a black heart: it differs from any background.
      const cv::Rect box(20 + 40 * (i % 11), 120, 120, 120);
      frame(box).setTo(cv::Scalar::all(255));
      frame(box - cv::Point(-30, -30) - cv::Size(60, 60)).setTo(cv::Scalar::all(0));
      cv::Mat large;
      cv::resize(frame, large, cv::Size(1280, 720), 0, 0, cv::INTER_NEAREST);
      writer.write(large);
    }
  }
  Settings({{"CAMERA_URL", "\"" + video + "\""}, {"START_MOVE_OBJECT", "dword:00000000"},
            {"USEMAIL", "dword:00000001"}, {"USESOUND", "dword:00000000"}, {"MOVEBORDER", "dword:00000001"},
            {"FIT_TO_WINDOW", "dword:00000001"}, {"MAIL_HOSTNAME", "\"127.0.0.1\""},
            {"MAIL_PORTNUMBER", QString::asprintf("dword:%08x", FreeLoopbackPort()).toStdString()}});
  form = std::make_unique<TMainForm>(&sound, nullptr);  // the real mail
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  ASSERT_TRUE(form->StartMonitoring());
  ASSERT_TRUE(QTest::qWaitFor(
      [this] { return form->StatusLine->toolTip().contains(QString::fromUtf8("警報メール")); }, kFirstFrameWaitMs))
      << form->StatusLine->toolTip().toStdString();
  form->Status().On(MonitorEvent::RequestCheckDone(true, 0, ""));  // what an empty mailbox tells the status line
  QTest::qWait(300);
  // What the screen shows, not a fresh paint of the window.
  auto shoot = [&](const char* name) {
    EXPECT_TRUE(form->screen()->grabWindow(form->winId()).save(QString::fromUtf8(dir) + name));
  };
  shoot("/status-line.png");

  QTimer::singleShot(300, form.get(), [&] {
    auto* dialog = form->findChild<TEventHistoryDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->grab().save(QString::fromUtf8(dir) + "/event-history.png"));
    dialog->accept();
  });
  form->EventHistoryMenu->trigger();
  form->StopMonitoring();
  QTest::qWait(300);
  shoot("/fitted-stopped.png");
}

// The camera's image may go while the view still shows it (a frame that
// could not be read, the camera object destroyed): the view keeps what it
// painted and never reads the image again.
TEST(PictureView, AForgottenOrEmptyImageLeavesTheLastPicture) {
  AppWithProgramFonts();
  QScrollArea box;
  auto* view = new TPictureView;
  box.setWidget(view);
  box.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
  cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(0, 0, 255));
  view->ShowImage(frame);
  QApplication::processEvents();
  frame.release();
  view->update();
  QApplication::processEvents();
  EXPECT_EQ(view->Picture().pixelColor(10, 10), QColor(255, 0, 0));
  view->ForgetImage();
  view->update();
  QApplication::processEvents();
  EXPECT_EQ(view->Picture().pixelColor(10, 10), QColor(255, 0, 0));
  view->Clear();
  EXPECT_TRUE(view->PictureSize().isEmpty());
}
