#pragma once
#include <QDialog>

#include "monitor/StatusLog.h"

class QPushButton;
class QTextEdit;

// The recent events of the monitoring cycle, oldest first, one paragraph
// each, read-only; what it shows is taken when the dialog opens. A line
// too long for the window wraps under its text, clear of the time.
class TEventHistoryDialog : public QDialog {
  Q_OBJECT
public:
  explicit TEventHistoryDialog(const StatusLog& log, QWidget* parent = nullptr);

  QTextEdit* HistoryText;
  QPushButton* CloseBtn;
};
