#include "app/Application.h"

#include <QFont>

#include "platform/ExceptionBox.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  RunGuarded([&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

void InstallFontSubstitutions() {
  QFont::insertSubstitution(QString::fromUtf8("ＭＳ Ｐゴシック"), "IPAPGothic");
  QFont::insertSubstitution(QString::fromUtf8("ＭＳ Ｐ明朝"), "IPAPMincho");
}
