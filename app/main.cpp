#include <iostream>
#include <memory>
#include <string>

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
#include "app/Option.h"
#include "settings/Vardocamdef.h"
#include "app/VersionInf.h"

namespace {
// Threads OpenCV may use for one image step.
constexpr int kImageThreads = 1;
// Exit codes besides 0.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The window with its dialogs, as every earlier version ran.
int RunWindowed(int argc, char** argv, const std::string& profile) {
  TApplication app(argc, argv);
  QtMessagePresenter presenter;
  InstallMessagePresenter(&presenter);
  SetApplicationTitle(kDisplayName);
  RunGuarded([&] {
    QApplication::setApplicationName("vardocam");
    QApplication::setApplicationDisplayName(QString::fromUtf8(kDisplayName));
    InstallFontSubstitutions();
    MainForm = new TMainForm;
    if (!profile.empty())
      MainForm->setWindowTitle(QString::fromUtf8(kDisplayName) + " - " + QString::fromStdString(profile));
    presenter.SetOwner(MainForm);
    OptionForm = new TOptionForm(MainForm);
    AboutBox = new TAboutBox(MainForm);
    MainForm->show();
    app.exec();
  });
  InstallMessagePresenter(nullptr);
  delete MainForm;
  return 0;
}
} // namespace

int main(int argc, char** argv) {
  const CommandLine line = ParseCommandLine(argc, argv);
  if (!line.error.empty()) {
    std::cerr << "vardocam: " << line.error << "\n" << kUsageText;
    return kExitUsage;
  }
  SetSettingsProfile(line.profile);

  // One instance per user and profile: a second start ends at once.
  SingleInstance instance;
  const std::string lockName = SingleInstance::LockNameFor(std::string("_") + kDisplayName, line.profile);
  switch (instance.Acquire(lockName)) {
  case SingleInstance::Result::AlreadyRunning:
    // The window ends quietly, as it always did; a service says why.
    if (line.headless)
      std::cerr << "<4>" << (line.profile.empty() ? std::string("既定のプロファイル")
                                                  : "プロファイル " + line.profile)
                << " は既に動作中のため終了します\n";
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
