#include "app/EventHistoryDialog.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kDialogWidth = 680;
constexpr int kDialogHeight = 360;
} // namespace

TEventHistoryDialog::TEventHistoryDialog(const StatusLog& log, QWidget* parent) : QDialog(parent) {
  setObjectName("EventHistoryDialog");
  setWindowTitle(QString::fromUtf8("イベント履歴"));
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  resize(kDialogWidth, kDialogHeight);

  auto* layout = new QVBoxLayout(this);
  HistoryList = new QListWidget(this);
  HistoryList->setObjectName("HistoryList");
  HistoryList->setSelectionMode(QAbstractItemView::NoSelection);
  HistoryList->setFocusPolicy(Qt::NoFocus);
  if (log.History().empty()) {
    HistoryList->addItem(QString::fromUtf8("まだ記録はありません"));
  } else {
    for (const StatusEntry& entry : log.History())
      HistoryList->addItem(QString::fromStdString(StatusLog::FormatEntry(entry)));
  }
  layout->addWidget(HistoryList);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  CloseBtn = new QPushButton(QString::fromUtf8("閉じる"), this);
  CloseBtn->setObjectName("CloseBtn");
  CloseBtn->setDefault(true);
  connect(CloseBtn, &QPushButton::clicked, this, &QDialog::accept);
  buttons->addWidget(CloseBtn);
  layout->addLayout(buttons);
  // The newest events are the ones a user opens the list for.
  HistoryList->scrollToBottom();
}
