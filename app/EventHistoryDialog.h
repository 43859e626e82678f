#pragma once
#include <string>
#include <vector>

#include <QDialog>

#include "archive/EventLayout.h"
#include "monitor/StatusLog.h"

class QLabel;
class QPushButton;
class QTextEdit;
class QTimer;
class QTreeWidget;

// The most events the list shows, the newest: a folder of thousands still
// opens at once.
constexpr int kMaxEventsListed = 500;
// Thumbnails are read this many at a time between the dialog's other work,
// so the list is there before its pictures are.
constexpr int kThumbnailsPerStep = 8;
// Left open, the dialog follows the monitor this often: new lines, and a
// new or finished event in the list.
constexpr int kHistoryRefreshMs = 2000;
constexpr int kThumbnailWidth = 96;
constexpr int kThumbnailHeight = 54;

// Opens a file or folder with the desktop's program for it; false when the
// desktop could not, with the reason already shown to the user.
bool OpenWithDesktop(const std::string& path);

// The kept events of the events folder, newest first, each with a small
// picture, its start, its length and whether a person was confirmed; a
// double click shows its clip. Under them the recent lines of the
// monitoring cycle, oldest first, one paragraph each, read-only. Both follow
// the monitor while the dialog is open (every kHistoryRefreshMs). A line
// too long for the window wraps under its text, clear of the time.
class TEventHistoryDialog : public QDialog {
  Q_OBJECT
public:
  explicit TEventHistoryDialog(const StatusLog& log, const std::string& eventRoot = "",
                               QWidget* parent = nullptr);

  // The file a row's double click opens; empty when its folder has none.
  std::string OpenTarget(int row) const;
  void OpenRow(int row);
  // Rows whose thumbnail is still to be read.
  int ThumbnailsPending() const { return static_cast<int>(events_.size()) - nextThumbnail_; }

  QLabel* EventNote;
  QTreeWidget* EventList;
  QTextEdit* HistoryText;
  QPushButton* CloseBtn;

  // Takes what changed since the dialog last looked (the timer's work).
  void Refresh();

private:
  void ListEventRows(const std::string& eventRoot);
  void FillEventRows(std::vector<EventInfo> events);
  void ShowHistory();
  void LoadSomeThumbnails();

  const StatusLog& log_;
  std::string eventRoot_;
  std::vector<StatusEntry> shownHistory_;
  std::vector<EventInfo> events_;
  int nextThumbnail_ = 0;
  QTimer* thumbnailTimer_ = nullptr;
};
