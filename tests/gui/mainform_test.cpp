#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QMenu>
#include <QMenuBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "app/Application.h"
#include "app/CuteButton.h"
#include "app/Mainfrm.h"
#include "app/PictureView.h"
#include "platform/ExceptionBox.h"
#include "platform/MessageBox.h"
#include "settings/Option.h"
#include "settings/Vardocamdef.h"
#include "settings/ZBRegIni.h"
#include "support/FakeClock.h"
#include "support/MonitorFakes.h"
#include "support/SettingsFile.h"
#include "support/TempDir.h"

namespace {
QApplication& App() {
  static int argc = 1;
  static char name[] = "mainform_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    auto* a = new QApplication(argc, argv);
    InstallFontSubstitutions();
    return a;
  }();
  return *app;
}

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
    App();
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
  EXPECT_EQ(items(form->F1), QStringList{QString::fromUtf8("EndMenu:終了(&X):shown")});
  EXPECT_EQ(items(form->S1), QStringList{QString::fromUtf8("OptionMenu:オプション(&O):shown")});
  EXPECT_EQ(items(form->HelpRootMenu),
            (QStringList{QString::fromUtf8("HelpMenu:防犯カメラ・ヴァルドヘルプ:hidden"),
                         "N1:-:hidden",
                         QString::fromUtf8("VersionInfoMenu:バージョン情報(&V):shown")}));
  EXPECT_EQ(items(form->TrayPopupMenu),
            (QStringList{QString::fromUtf8("TrayDispMenu:防犯カメラ・ヴァルドを表示する(&S):shown"),
                         "N11:-:shown", QString::fromUtf8("TrayExitMenu:終了(&X):shown")}));
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
            "防犯カメラ・ヴァルド|カメラの接続に失敗しました。\n機器の接続などを確認してください。");
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
  EXPECT_EQ(form->pos(), QPoint(556, 258));  // the stored position is not applied
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
  EXPECT_FALSE(form->Cycle().TickBusy);
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
  EXPECT_FALSE(form->Cycle().TickBusy);
}
} // namespace

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
