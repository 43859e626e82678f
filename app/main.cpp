#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include <unistd.h>

#include <QCoreApplication>
#include <opencv2/core.hpp>

#include "app/Application.h"
#include "app/Mainfrm.h"
#include "app/QtMessagePresenter.h"
#include "platform/AppPaths.h"
#include "platform/ExceptionBox.h"
#include "platform/MessageBox.h"
#include "platform/SingleInstance.h"
#include "service/CommandLine.h"
#include "service/HeadlessService.h"
#include "service/ServiceUnit.h"
#include "service/StopSignals.h"
#include "app/Option.h"
#include "settings/Vardocamdef.h"
#include "app/VersionInf.h"

namespace {
// Threads OpenCV may use for one image step.
constexpr int kImageThreads = 1;
// Exit codes besides 0.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// From SIGTERM to the end of the window: its close waits for the camera
// twice (kCloseWaitMs) and may wait for a tick in the middle of a mail.
constexpr uint32_t kWindowStopDeadlineMs = 5000;

const char kNoDisplayText[] =
    "vardocam: 画面に接続できないため、ウィンドウを開けません。"
    "画面なしで監視するには --headless を付けて起動してください。\n";

// Qt ends the process when the platform cannot start; asked in advance,
// the common case (no display at all) gets one line instead of an abort.
bool DisplayNamed(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "-platform") return true;
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && *platform && std::string(platform).rfind("xcb", 0) != 0 &&
      std::string(platform).rfind("wayland", 0) != 0)
    return true;
  return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

// A display that is named but cannot be reached still makes Qt give up
// while the application is built: say it in the same one line. What Qt
// says before giving up is held back, and only told when it did not.
std::string gHeldBackLines;
void NoDisplayOnFatal(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtFatalMsg) {
    gHeldBackLines += message.toStdString() + "\n";
    return;
  }
  (void)!write(STDERR_FILENO, kNoDisplayText, sizeof(kNoDisplayText) - 1);
  _exit(kExitFailure);
}

// A second start of a running profile (often its service) says so, and how
// its settings are changed, instead of ending without a word.
std::string AlreadyRunningText(const std::string& profile) {
  return "プロファイル「" + profile + "」は既に動作中です。\n"
         "サービスとして動いている場合、設定を変えるにはサービスを止め"
         "(" + ServiceCommand("stop", profile) + ")、設定してから、"
         "もう一度開始してください(" + ServiceCommand("start", profile) + ")。";
}

// The application with its message boxes. A display that is named but
// cannot be reached ends in one line while the application is built.
class WindowApplication {
public:
  WindowApplication(int& argc, char** argv) : app_((qInstallMessageHandler(NoDisplayOnFatal), argc), argv) {
    qInstallMessageHandler(nullptr);
    std::cerr << gHeldBackLines;
    gHeldBackLines.clear();
    InstallMessagePresenter(&presenter_);
    SetApplicationTitle(kDisplayName);
  }
  ~WindowApplication() { InstallMessagePresenter(nullptr); }
  WindowApplication(const WindowApplication&) = delete;
  WindowApplication& operator=(const WindowApplication&) = delete;

  TApplication& App() { return app_; }
  QtMessagePresenter& Presenter() { return presenter_; }

private:
  TApplication app_;
  QtMessagePresenter presenter_;
};

void SayAlreadyRunning(int argc, char** argv, const std::string& profile) {
  const std::string text = AlreadyRunningText(profile);
  std::cerr << "vardocam: " << text << "\n";
  if (!DisplayNamed(argc, argv)) return;
  WindowApplication window(argc, argv);
  ShowErrorMessage("%s", text.c_str());
}

// The window with its dialogs, as every earlier version ran.
int RunWindowed(int argc, char** argv, const std::string& profile) {
  if (!DisplayNamed(argc, argv)) {
    std::cerr << kNoDisplayText;
    return kExitFailure;
  }
  WindowApplication window(argc, argv);
  // A stop asked of the window (a logout, kill) closes it as its own close
  // does, so the settings are saved and the broker hears monitoring end.
  StopSignals stopSignals(
      [] {
        if (MainForm) MainForm->close();
        QCoreApplication::quit();
      },
      [] { _exit(0); }, kWindowStopDeadlineMs);
  RunGuarded([&] {
    QApplication::setApplicationName("vardocam");
    QApplication::setApplicationDisplayName(QString::fromUtf8(kDisplayName));
    InstallFontSubstitutions();
    MainForm = new TMainForm;
    if (!profile.empty())
      MainForm->setWindowTitle(QString::fromUtf8(kDisplayName) + " - " + QString::fromStdString(profile));
    window.Presenter().SetOwner(MainForm);
    OptionForm = new TOptionForm(MainForm);
    AboutBox = new TAboutBox(MainForm);
    MainForm->show();
    window.App().exec();
  });
  InstallMessagePresenter(nullptr);
  delete MainForm;
  MainForm = nullptr;
  stopSignals.Stopped();
  return 0;
}
} // namespace

int main(int argc, char** argv) {
  const CommandLine line = ParseCommandLine(argc, argv);
  if (!line.error.empty()) {
    std::cerr << "vardocam: " << line.error << "\n" << kUsageText;
    return kExitUsage;
  }
  if (line.help) {
    std::cout << kUsageText;
    return 0;
  }
  if (line.version) {
    std::cout << "vardocam " << kVersionText << "\n";
    return 0;
  }
  SetSettingsProfile(line.profile);

  // One instance per user and profile: a second start ends at once.
  SingleInstance instance;
  const std::string lockName = SingleInstance::LockNameFor(std::string("_") + kDisplayName, line.profile);
  switch (instance.Acquire(lockName)) {
  case SingleInstance::Result::AlreadyRunning:
    if (line.headless)
      std::cerr << "<4>" << (line.profile.empty() ? std::string("既定のプロファイル")
                                                  : "プロファイル " + line.profile)
                << " は既に動作中のため終了します\n";
    else if (!line.profile.empty())
      // A named profile is often running as its service: say so, and how
      // to edit it. The default window ends quietly, as it always did.
      SayAlreadyRunning(argc, argv, line.profile);
    return 0;
  case SingleInstance::Result::Unavailable:
    // Better an unguarded program than none at all.
    std::cerr << (line.headless ? "<4>" : "") << kDisplayName
              << ": the single-instance lock in " << SingleInstance::LockFolder()
              << " could not be taken\n";
    break;
  case SingleInstance::Result::Acquired:
    break;
  }

  std::string folderError;
  if (!EnterWorkingFolder(line.profile, &folderError)) {
    std::cerr << (line.headless ? "<3>" : "") << "作業フォルダに入れません: " << folderError << "\n";
    return kExitFailure;
  }

  // One tick's image steps are small and follow each other closely: worker
  // threads would spin between them and cost more processor time than
  // they save on a machine that does other work too.
  cv::setNumThreads(kImageThreads);

  if (line.headless) {
    // No widget, no display: the core's event loop alone.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("vardocam");
    return RunHeadless(std::cerr);
  }
  return RunWindowed(argc, argv, line.profile);
}
