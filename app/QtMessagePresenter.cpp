#include "app/QtMessagePresenter.h"

#include <QApplication>
#include <QMessageBox>

namespace {
void Show(QWidget* owner, QMessageBox::Icon icon, const std::string& caption,
          const std::string& text) {
  // A box raised from an open dialog belongs to that dialog, so it comes up
  // over it, not behind it over the main window.
  if (QWidget* modal = QApplication::activeModalWidget()) owner = modal;
  QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::Ok, owner);
  box.setObjectName(icon == QMessageBox::Critical ? "ErrorMessageBox" : "InfoMessageBox");
  box.exec();
}
} // namespace

void QtMessagePresenter::ShowError(const std::string& caption, const std::string& text) {
  Show(owner_, QMessageBox::Critical, caption, text);
}

void QtMessagePresenter::ShowInfo(const std::string& caption, const std::string& text) {
  Show(owner_, QMessageBox::Information, caption, text);
}
