#include "app/QtMessagePresenter.h"

#include <QMessageBox>

namespace {
void Show(QWidget* owner, QMessageBox::Icon icon, const std::string& caption,
          const std::string& text) {
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
