#include "app/EventHistoryDialog.h"

#include <algorithm>
#include <deque>

#include <QDesktopServices>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "archive/EventText.h"
#include "archive/Retention.h"
#include "platform/MessageBox.h"
#include "settings/Vardocamdef.h"

namespace {
constexpr int kDialogWidth = 680;
constexpr int kDialogHeight = 560;
constexpr int kMinimumWidth = 320;
constexpr int kMinimumHeight = 160;
// The window's font for every line: a dialog does not take it from its
// parent, and the system's would draw the digits and the kana in two.
const char kFontFamily[] = "ＭＳ Ｐゴシック";
constexpr int kFontPixels = 12;
// What FormatEntry puts before the text, for the wrapped lines' indent.
const char kTimeColumn[] = "2026/12/07 13:20:05  ";
enum EventColumn { kPictureColumn, kStartColumn, kLengthColumn, kPersonColumn };
constexpr int kRowPadding = 4;
constexpr int kEmptyListHeight = 60;
} // namespace

bool OpenWithDesktop(const std::string& path) {
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)))) return true;
  ShowErrorMessage("%s", ("開けませんでした。この種類のファイルを開くプログラムが"
                          "デスクトップに設定されているか確認してください。\n" + path).c_str());
  return false;
}

TEventHistoryDialog::TEventHistoryDialog(const StatusLog& log, const std::string& eventRoot,
                                         QWidget* parent)
    : QDialog(parent), log_(log), eventRoot_(eventRoot) {
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
  auto* split = new QSplitter(Qt::Vertical, this);
  auto* eventPart = new QWidget(split);
  auto* eventLayout = new QVBoxLayout(eventPart);
  eventLayout->setContentsMargins(0, 0, 0, 0);
  EventNote = new QLabel(eventPart);
  EventNote->setObjectName("EventNote");
  eventLayout->addWidget(EventNote);
  EventList = new QTreeWidget(eventPart);
  EventList->setObjectName("EventList");
  eventLayout->addWidget(EventList);
  ListEventRows(eventRoot);
  split->addWidget(eventPart);

  HistoryText = new QTextEdit(split);
  HistoryText->setObjectName("HistoryText");
  HistoryText->setReadOnly(true);
  HistoryText->setLineWrapMode(QTextEdit::WidgetWidth);
  HistoryText->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  HistoryText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  HistoryText->document()->setDefaultFont(font);

  ShowHistory();
  split->addWidget(HistoryText);
  // An empty list leaves the room to the lines.
  if (events_.empty())
    split->setSizes({kEmptyListHeight, kDialogHeight});
  else
    split->setSizes({kDialogHeight * 3 / 5, kDialogHeight * 2 / 5});
  layout->addWidget(split);

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
  auto* refresh = new QTimer(this);
  refresh->setInterval(kHistoryRefreshMs);
  connect(refresh, &QTimer::timeout, this, &TEventHistoryDialog::Refresh);
  refresh->start();
}

namespace {
bool SameEntries(const std::vector<StatusEntry>& a, const std::deque<StatusEntry>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const StatusEntry& x, const StatusEntry& y) {
    return x.first == y.first && x.last == y.last && x.count == y.count && x.text == y.text;
  });
}

bool SameEvents(const std::vector<EventInfo>& a, const std::vector<EventInfo>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const EventInfo& x, const EventInfo& y) {
    return x.folder == y.folder && x.endMs == y.endMs && x.person == y.person;
  });
}
} // namespace

// The lines written again only when they changed, kept at the end when
// the reader was there; the list only when an event came, ended or went.
void TEventHistoryDialog::Refresh() {
  if (!SameEntries(shownHistory_, log_.History())) {
    QScrollBar* bar = HistoryText->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    ShowHistory();
    if (atEnd) bar->setValue(bar->maximum());
  }
  if (eventRoot_.empty()) return;
  std::vector<EventInfo> events = ListEvents(eventRoot_);
  const std::vector<EventInfo> listed(events.begin(),
                                      events.begin() + std::min<size_t>(events.size(), kMaxEventsListed));
  if (!SameEvents(listed, events_)) FillEventRows(std::move(events));
}

void TEventHistoryDialog::ShowHistory() {
  HistoryText->clear();
  QTextBlockFormat paragraph;
  const int indent = QFontMetrics(HistoryText->document()->defaultFont())
                         .horizontalAdvance(QString::fromUtf8(kTimeColumn));
  paragraph.setLeftMargin(indent);
  paragraph.setTextIndent(-indent);
  QTextCursor cursor(HistoryText->document());
  cursor.setBlockFormat(paragraph);
  if (log_.History().empty()) cursor.insertText(QString::fromUtf8("まだ記録はありません"));
  bool first = true;
  for (const StatusEntry& entry : log_.History()) {
    if (!first) cursor.insertBlock(paragraph);
    first = false;
    cursor.insertText(QString::fromStdString(StatusLog::FormatEntry(entry)));
  }
  shownHistory_.assign(log_.History().begin(), log_.History().end());
}

void TEventHistoryDialog::ListEventRows(const std::string& eventRoot) {
  EventList->setColumnCount(4);
  EventList->setHeaderLabels({QString::fromUtf8("画像"), QString::fromUtf8("開始"), QString::fromUtf8("長さ"),
                              QString::fromUtf8("人物")});
  EventList->setRootIsDecorated(false);
  EventList->setUniformRowHeights(true);
  EventList->setIconSize(QSize(kThumbnailWidth, kThumbnailHeight));
  EventList->setColumnWidth(kPictureColumn, kThumbnailWidth + 2 * kRowPadding);
  EventList->setColumnWidth(kStartColumn, QFontMetrics(font()).horizontalAdvance(QString::fromUtf8(kTimeColumn)));
  EventList->header()->setStretchLastSection(true);
  connect(EventList, &QTreeWidget::itemActivated, this,
          [this](QTreeWidgetItem* item) { OpenRow(EventList->indexOfTopLevelItem(item)); });
  thumbnailTimer_ = new QTimer(this);
  thumbnailTimer_->setInterval(0);
  connect(thumbnailTimer_, &QTimer::timeout, this, &TEventHistoryDialog::LoadSomeThumbnails);
  FillEventRows(eventRoot.empty() ? std::vector<EventInfo>{} : ListEvents(eventRoot));
}

void TEventHistoryDialog::FillEventRows(std::vector<EventInfo> events) {
  events_ = std::move(events);
  nextThumbnail_ = 0;
  EventList->clear();
  const size_t total = events_.size();
  // How full the folder is, and so about how long the limit keeps events.
  int64_t used = 0, recordedMs = 0;
  for (const EventInfo& event : events_) {
    used += EventFolderBytes(event.folder);
    if (event.endMs > event.startMs) recordedMs += event.endMs - event.startMs;
  }
  const QString usage = QString::fromStdString(
      ArchiveUsageText(used, int64_t{std::max<int32_t>(AppSettings.EVENT_MAX_MB, 0)} << 20, recordedMs));
  if (events_.size() > static_cast<size_t>(kMaxEventsListed)) events_.resize(kMaxEventsListed);
  if (total == 0)
    EventNote->setText(QString::fromUtf8("保存されたイベントはまだありません"));
  else if (total > events_.size())
    EventNote->setText(QString::fromUtf8("保存されたイベント %1件のうち、新しい%2件 (ダブルクリックで動画を開きます)")
                           .arg(total)
                           .arg(events_.size()));
  else
    EventNote->setText(QString::fromUtf8("保存されたイベント %1件 (ダブルクリックで動画を開きます)").arg(total));
  if (!usage.isEmpty()) EventNote->setText(EventNote->text() + QString::fromUtf8("　") + usage);

  // An empty picture of the thumbnail's size keeps the rows their height
  // while the real ones are read.
  QPixmap blank(kThumbnailWidth, kThumbnailHeight);
  blank.fill(Qt::black);
  const QIcon placeholder(blank);
  for (const EventInfo& event : events_) {
    auto* item = new QTreeWidgetItem(EventList);
    item->setIcon(kPictureColumn, placeholder);
    item->setText(kStartColumn, QString::fromStdString(EventStartText(event)));
    item->setText(kLengthColumn, QString::fromStdString(EventLengthText(event)));
    item->setText(kPersonColumn, event.test     ? QString::fromUtf8("テスト警報")
                                 : event.person ? QString::fromUtf8("人物あり")
                                                : QString());
  }
  if (!events_.empty()) thumbnailTimer_->start();
}

void TEventHistoryDialog::LoadSomeThumbnails() {
  for (int n = 0; n < kThumbnailsPerStep && nextThumbnail_ < static_cast<int>(events_.size()); ++n) {
    const int row = nextThumbnail_++;
    const std::string path = EventThumbnailPicture(events_[row]);
    if (path.empty()) continue;
    // Read at the thumbnail's size: a JPEG decodes scaled, a fraction of
    // the work of the whole picture.
    QImageReader reader(QString::fromStdString(path));
    const QSize size = reader.size();
    if (size.isValid()) reader.setScaledSize(size.scaled(kThumbnailWidth, kThumbnailHeight, Qt::KeepAspectRatio));
    const QImage image = reader.read();
    if (!image.isNull())
      EventList->topLevelItem(row)->setIcon(kPictureColumn, QIcon(QPixmap::fromImage(image)));
  }
  if (ThumbnailsPending() <= 0) thumbnailTimer_->stop();
}

std::string TEventHistoryDialog::OpenTarget(int row) const {
  if (row < 0 || row >= static_cast<int>(events_.size())) return "";
  return EventOpenTarget(events_[row]);
}

void TEventHistoryDialog::OpenRow(int row) {
  const std::string target = OpenTarget(row);
  if (target.empty()) {
    ShowErrorMessage("%s", "このイベントのフォルダには動画も画像もありません。削除されたか、書き込み中に止まった可能性があります。");
    return;
  }
  OpenWithDesktop(target);
}
