#include <iostream>
#include <string>

#include <opencv2/core.hpp>

#include "app/Application.h"
#include "app/Mainfrm.h"
#include "app/QtMessagePresenter.h"
#include "platform/AppPaths.h"
#include "platform/ExceptionBox.h"
#include "platform/MessageBox.h"
#include "platform/SingleInstance.h"
#include "settings/Option.h"
#include "settings/VersionInf.h"

namespace {
// Threads OpenCV may use for one image step.
constexpr int kImageThreads = 1;
} // namespace

int main(int argc, char** argv) {
  // One instance per user: a second start ends at once and quietly.
  SingleInstance instance;
  const std::string lockName = std::string("_") + kDisplayName;
  switch (instance.Acquire(lockName)) {
  case SingleInstance::Result::AlreadyRunning:
    return 0;
  case SingleInstance::Result::Unavailable:
    // Better an unguarded program than none at all.
    std::cerr << kDisplayName << ": the single-instance lock in "
              << SingleInstance::LockFolder() << " could not be taken\n";
    break;
  case SingleInstance::Result::Acquired:
    break;
  }

  // Frames and mail pictures must not land wherever the desktop started us.
  std::string folderError;
  if (!EnterWorkingFolder("", &folderError)) {
    std::cerr << kDisplayName << ": no working folder: " << folderError << "\n";
    return 1;
  }

  // One tick's image steps are small and follow each other closely: worker
  // threads would spin between them and cost more processor time than
  // they save on a machine that does other work too.
  cv::setNumThreads(kImageThreads);

  TApplication app(argc, argv);
  QtMessagePresenter presenter;
  InstallMessagePresenter(&presenter);
  SetApplicationTitle(kDisplayName);
  RunGuarded([&] {
    QApplication::setApplicationName("vardocam");
    QApplication::setApplicationDisplayName(QString::fromUtf8(kDisplayName));
    InstallFontSubstitutions();
    MainForm = new TMainForm;
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
