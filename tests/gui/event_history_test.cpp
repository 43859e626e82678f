#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <QDesktopServices>
#include <QLabel>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>
#include <QUrl>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "app/EventHistoryDialog.h"
#include "app/Mainfrm.h"
#include "archive/EventText.h"
#include "platform/MessageBox.h"
#include "settings/Vardocamdef.h"
#include "support/MonitorFakes.h"
#include "support/TempDir.h"
#include "QtTestApp.h"

// What the desktop was asked to open, in place of a program; and the errors shown.
class DesktopCatcher : public QObject, public IMessagePresenter {
  Q_OBJECT
public:
  DesktopCatcher() { QDesktopServices::setUrlHandler("file", this, "Open"); InstallMessagePresenter(this); }
  ~DesktopCatcher() override { QDesktopServices::unsetUrlHandler("file"); InstallMessagePresenter(nullptr); }
  void ShowError(const std::string&, const std::string& text) override { errors.push_back(text); }
  void ShowInfo(const std::string&, const std::string&) override {}
  QStringList opened;
  std::vector<std::string> errors;
public slots:
  void Open(const QUrl& url) { opened << url.toLocalFile(); }
};

namespace {
constexpr int64_t kFirstStartMs = 1796616000000;

// A room; a figure in a blue coat stands at `x` when there is one.
cv::Mat Scene(int x, bool figure) {
  cv::Mat scene(360, 640, CV_8UC3, cv::Scalar(70, 80, 90));
  scene(cv::Rect(0, 260, 640, 100)).setTo(cv::Scalar(40, 55, 75));
  scene(cv::Rect(440, 60, 120, 200)).setTo(cv::Scalar(30, 45, 60));
  if (figure) cv::circle(scene, cv::Point(x, 120), 22, cv::Scalar(60, 90, 150), cv::FILLED);
  if (figure) scene(cv::Rect(x - 30, 145, 60, 130)).setTo(cv::Scalar(110, 40, 30));
  return scene;
}

// An event folder as the archive leaves it, started `index` minutes after the first.
std::string MakeEvent(const std::string& root, int index, bool clip, bool first, bool person, int64_t lengthMs) {
  const std::string folder = root + "/" + std::to_string(index);
  const int64_t start = kFirstStartMs + index * 60000;
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/" + kEventMarkerFile) << kEventMarkerLine << "\nstart_ms=" << start << "\nend_ms="
      << (lengthMs ? start + lengthMs : 0) << "\nperson=" << person << "\n";
  if (first) cv::imwrite(folder + "/" + kEventFirstPicture, Scene(0, false));
  if (person) cv::imwrite(folder + "/" + kEventPersonPicture, Scene(200, true));
  cv::VideoWriter writer;
  if (clip) writer.open(folder + "/" + kEventClip, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 4, {640, 360});
  for (int i = 0; clip && i < 12; ++i) writer.write(Scene(100 + 30 * i, person));
  return folder;
}

class EventHistoryTest : public QtAppTest {
protected:
  TempDir root;
  StatusLog log;
  DesktopCatcher desktop;
};
} // namespace

TEST_F(EventHistoryTest, RowsNewestFirstWithPictureLengthPersonAndWhatADoubleClickOpens) {
  struct Row {
    bool clip, first, person;
    int64_t lengthMs;
    const char *length, *personText, *opens;  // opens: in the event's folder; empty: an error is shown
  } rows[] = {
      {true, true, true, 65000, "1分05秒", "人物あり", kEventClip},
      {false, true, true, 9000, "9秒", "人物あり", kEventPersonPicture},
      {false, true, false, 0, "記録中", "", kEventFirstPicture},
      {false, false, false, 3000, "3秒", "", ""},
  };
  std::vector<std::string> folders;
  for (const Row& row : rows)
    folders.push_back(MakeEvent(root.Path(), folders.size(), row.clip, row.first, row.person, row.lengthMs));
  TEventHistoryDialog dialog(log, root.Path());
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QTreeWidget* list = dialog.EventList;
  ASSERT_EQ(list->topLevelItemCount(), 4);
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.ThumbnailsPending() == 0; }));
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const Row& row = rows[i];
    QTreeWidgetItem* item = list->topLevelItem(3 - i);
    EventInfo event;
    ASSERT_TRUE(ReadEventInfo(folders[i], event));
    EXPECT_EQ(item->text(1).toStdString(), EventStartText(event));
    EXPECT_EQ(item->text(2).toStdString(), row.length);
    EXPECT_EQ(item->text(3).toStdString(), row.personText);
    // The person's picture has the blue coat where the first has the floor.
    const QImage thumbnail = item->icon(0).pixmap(kThumbnailWidth, kThumbnailHeight).toImage();
    EXPECT_EQ(thumbnail.pixelColor(thumbnail.width() * 200 / 640, thumbnail.height() * 200 / 360).blue() > 90, row.person);

    const std::string expected = *row.opens ? folders[i] + "/" + row.opens : "";
    EXPECT_EQ(dialog.OpenTarget(3 - i), expected);
    // A double click as the view meets it: the press of its first click, then the second.
    list->scrollToItem(item);
    const QPoint at = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    EXPECT_EQ(desktop.opened, *row.opens ? QStringList{QString::fromStdString(expected)} : QStringList{});
    EXPECT_EQ(desktop.errors.size(), *row.opens ? 0u : 1u);
    desktop.opened.clear();
  }
}

// Left open, the dialog follows: a new line, and an event that began and
// one that ended since it opened.
TEST_F(EventHistoryTest, LeftOpenItFollowsTheMonitor) {
  MakeEvent(root.Path(), 0, false, false, false, 0);  // still recording
  TEventHistoryDialog dialog(log, root.Path());
  ASSERT_EQ(dialog.EventList->topLevelItemCount(), 1);
  const QString recording = dialog.EventList->topLevelItem(0)->text(2);
  log.On(MonitorEvent::Notice("あとから届いた行"));
  MakeEvent(root.Path(), 0, false, false, false, 5000);
  MakeEvent(root.Path(), 1, false, false, true, 0);
  dialog.Refresh();
  EXPECT_TRUE(dialog.HistoryText->toPlainText().contains(QString::fromUtf8("あとから届いた行")));
  ASSERT_EQ(dialog.EventList->topLevelItemCount(), 2);
  EXPECT_NE(dialog.EventList->topLevelItem(1)->text(2), recording);
  EXPECT_EQ(dialog.EventList->topLevelItem(0)->text(3), QString::fromUtf8("人物あり"));
}

// The note says how full the folder is and about how long the limit keeps
// events at the rate so far.
TEST(EventHistoryUsage, UsedLimitAndHours) {
  constexpr int64_t kMb = int64_t{1} << 20, kHourMs = 3600000;
  struct Row { int64_t used, max, recordedMs; const char* text; };
  const Row rows[] = {{0, 2048 * kMb, 0, ""},
                      {1, 0, kHourMs, "使用 1 MB"},
                      {512 * kMb, 2048 * kMb, 0, "使用 512 MB / 上限 2048 MB"},
                      {512 * kMb, 2048 * kMb, 10 * kHourMs, "使用 512 MB / 上限 2048 MB (約 40 時間分)"}};
  for (const Row& row : rows) EXPECT_EQ(ArchiveUsageText(row.used, row.max, row.recordedMs), row.text);
  // A clock set back during an event gives it no length, rather than a negative one.
  EXPECT_EQ(EventLengthText({"", kFirstStartMs, kFirstStartMs - 86390000, false, 0, ""}), "不明(時計が戻されました)");
}

TEST_F(EventHistoryTest, ListsTheNewestUpToItsLimit) {
  for (int i = 0; i <= kMaxEventsListed; ++i) MakeEvent(root.Path(), i, false, false, false, 1000);
  TEventHistoryDialog dialog(log, root.Path());
  ASSERT_EQ(dialog.EventList->topLevelItemCount(), kMaxEventsListed);
  EXPECT_EQ(dialog.EventList->topLevelItem(0)->text(1).toStdString(),
            EventStartText(EventInfo{"", kFirstStartMs + kMaxEventsListed * 60000, 0, false, 0, ""}));
  EXPECT_TRUE(dialog.EventNote->text().contains(QString::number(kMaxEventsListed + 1)));
}

// The events folder opens on the desktop, made first when there is none yet;
// one that cannot be made is told, and nothing is opened.
TEST_F(EventHistoryTest, EventFolderMenuMakesAndOpensTheFolder) {
  TempDir config;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  WriteFileBytes(root.File("file"), "x");
  CallLog calls;
  RecordingSound sound{calls};
  RecordingMail mail{calls};
  TMainForm form(&sound, &mail);
  for (const auto& [folder, made] : {std::pair{root.File("events/front"), true}, {root.File("file/events"), false}}) {
    SCOPED_TRACE(folder);
    AppSettings.EVENT_DIR = folder;
    form.EventFolderMenu->trigger();
    EXPECT_EQ(std::filesystem::is_directory(folder), made);
    EXPECT_EQ(desktop.opened, made ? QStringList{QString::fromStdString(folder)} : QStringList{});
    EXPECT_EQ(desktop.errors.size(), made ? 0u : 1u);
    desktop.opened.clear();
  }
  unsetenv("XDG_CONFIG_HOME");
}

// The picture for the documentation, taken only when asked:
// VARDOCAM_SCREENSHOT_DIR=docs/screenshots QT_QPA_PLATFORM=xcb under Xvfb.
TEST_F(EventHistoryTest, Screenshots) {
  const char* dir = std::getenv("VARDOCAM_SCREENSHOT_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "VARDOCAM_SCREENSHOT_DIR not set";
  for (int i = 0; i < 4; ++i) MakeEvent(root.Path(), i, true, true, i % 2, 7000 + i * 29000);
  log.On(MonitorEvent::MonitoringStarted(0));
  log.On(MonitorEvent::AlarmStarted());
  TEventHistoryDialog dialog(log, root.Path());
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.ThumbnailsPending() == 0; }));
  EXPECT_TRUE(dialog.grab().save(QString::fromUtf8(dir) + "/event-list.png"));
}

#include "event_history_test.moc"
