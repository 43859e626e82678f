#pragma once
#include <QApplication>

// The application object. No exception may cross Qt's event loop: whatever
// escapes an event's delivery is shown in the standard exception box here.
class TApplication : public QApplication {
  Q_OBJECT
public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// Maps the font names the windows ask for to their installed metric twins.
void InstallFontSubstitutions();
