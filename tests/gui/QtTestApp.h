#pragma once
// The QApplication of a GUI test program, named after the program as Qt
// would name it.
#include <cerrno>

#include <QApplication>
#include <gtest/gtest.h>

#include "app/Application.h"

// A new application; for suites that must end it themselves, before the X
// display it runs on goes.
inline QApplication* NewTestApp() {
  static int argc = 1;
  static char* argv[] = {program_invocation_short_name, nullptr};
  return new QApplication(argc, argv);
}

// The one application, made at first use and kept to the end, so that no
// case depends on which ran first.
inline QApplication& App() {
  static QApplication* app = NewTestApp();
  return *app;
}

// The same with the program's font mapping, for cases that draw or measure
// text in the window fonts.
inline QApplication& AppWithProgramFonts() {
  QApplication& app = App();
  InstallFontSubstitutions();
  return app;
}

// A base for fixtures that hold widgets as members: the application, with
// the program's fonts, is made before them.
class QtAppTest : public ::testing::Test {
protected:
  QtAppTest() { AppWithProgramFonts(); }
};
