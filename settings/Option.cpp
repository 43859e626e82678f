#include "settings/Option.h"

TOptionForm* OptionForm = nullptr;

TOptionForm::TOptionForm(QWidget* parent) : QDialog(parent) {
  setObjectName("OptionForm");
}
