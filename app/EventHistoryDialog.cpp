#include "app/EventHistoryDialog.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {
constexpr int kDialogWidth = 680;
constexpr int kDialogHeight = 360;
constexpr int kMinimumWidth = 320;
constexpr int kMinimumHeight = 160;
// The window's font for every line: a dialog does not take it from its
// parent, and the system's would draw the digits and the kana in two.
const char kFontFamily[] = "ＭＳ Ｐゴシック";
constexpr int kFontPixels = 12;
// What FormatEntry puts before the text, for the wrapped lines' indent.
const char kTimeColumn[] = "2026/12/07 13:20:05  ";
} // namespace

TEventHistoryDialog::TEventHistoryDialog(const StatusLog& log, QWidget* parent) : QDialog(parent) {
  setObjectName("EventHistoryDialog");
  setWindowTitle(QString::fromUtf8("イベント履歴"));
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  QFont font(QString::fromUtf8(kFontFamily));
  font.setPixelSize(kFontPixels);
  setFont(font);
  setSizeGripEnabled(true);
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  resize(kDialogWidth, kDialogHeight);

  auto* layout = new QVBoxLayout(this);
  HistoryText = new QTextEdit(this);
  HistoryText->setObjectName("HistoryText");
  HistoryText->setReadOnly(true);
  HistoryText->setLineWrapMode(QTextEdit::WidgetWidth);
  HistoryText->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  HistoryText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  HistoryText->document()->setDefaultFont(font);

  QTextBlockFormat paragraph;
  const int indent = QFontMetrics(font).horizontalAdvance(QString::fromUtf8(kTimeColumn));
  paragraph.setLeftMargin(indent);
  paragraph.setTextIndent(-indent);
  QTextCursor cursor(HistoryText->document());
  cursor.setBlockFormat(paragraph);
  if (log.History().empty()) cursor.insertText(QString::fromUtf8("まだ記録はありません"));
  bool first = true;
  for (const StatusEntry& entry : log.History()) {
    if (!first) cursor.insertBlock(paragraph);
    first = false;
    cursor.insertText(QString::fromStdString(StatusLog::FormatEntry(entry)));
  }
  layout->addWidget(HistoryText);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  CloseBtn = new QPushButton(QString::fromUtf8("閉じる"), this);
  CloseBtn->setObjectName("CloseBtn");
  CloseBtn->setDefault(true);
  connect(CloseBtn, &QPushButton::clicked, this, &QDialog::accept);
  buttons->addWidget(CloseBtn);
  layout->addLayout(buttons);
  // The newest events are the ones a user opens the list for.
  HistoryText->moveCursor(QTextCursor::End);
  HistoryText->ensureCursorVisible();
}
