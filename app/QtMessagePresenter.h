#pragma once
#include <QPointer>
#include <QWidget>

#include "platform/MessageBox.h"

// Message boxes as modal QMessageBoxes with one OK button, owned by the
// given window (the main window once it exists).
class QtMessagePresenter : public IMessagePresenter {
public:
  void SetOwner(QWidget* owner) { owner_ = owner; }
  void ShowError(const std::string& caption, const std::string& text) override;
  void ShowInfo(const std::string& caption, const std::string& text) override;

private:
  QPointer<QWidget> owner_;
};
