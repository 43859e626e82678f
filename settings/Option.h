#pragma once
#include <QDialog>

// The option dialog: edits and saves the settings.
class TOptionForm : public QDialog {
  Q_OBJECT
public:
  explicit TOptionForm(QWidget* parent = nullptr);
};

extern TOptionForm* OptionForm;
