#include <iostream>
#include <string>

#include "app/Application.h"
#include "app/Mainfrm.h"
#include "app/QtMessagePresenter.h"
#include "platform/ExceptionBox.h"
#include "platform/MessageBox.h"
#include "platform/SingleInstance.h"
#include "settings/Option.h"
#include "settings/VersionInf.h"

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
