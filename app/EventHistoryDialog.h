#pragma once
#include <QDialog>

#include "monitor/StatusLog.h"

class QListWidget;
class QPushButton;

// The recent events of the monitoring cycle, oldest first, as a read-only
// list; what it shows is taken when the dialog opens.
class TEventHistoryDialog : public QDialog {
  Q_OBJECT
public:
  explicit TEventHistoryDialog(const StatusLog& log, QWidget* parent = nullptr);

  QListWidget* HistoryList;
  QPushButton* CloseBtn;
};
