#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <QDesktopServices>
#include <QLabel>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "app/EventHistoryDialog.h"
#include "app/Mainfrm.h"
#include "archive/EventText.h"
#include "settings/Vardocamdef.h"
#include "support/MonitorFakes.h"
#include "platform/MessageBox.h"
#include "support/TempDir.h"
#include "QtTestApp.h"

// What the desktop was asked to open, in place of a program.
class DesktopCatcher : public QObject {
  Q_OBJECT
public:
  DesktopCatcher() { QDesktopServices::setUrlHandler("file", this, "Open"); }
  ~DesktopCatcher() override { QDesktopServices::unsetUrlHandler("file"); }
  QStringList opened;
public slots:
  void Open(const QUrl& url) { opened << url.toLocalFile(); }
};

namespace {
constexpr int64_t kFirstStartMs = 1796616000000;

class Errors : public IMessagePresenter {
public:
  void ShowError(const std::string&, const std::string& text) override { errors.push_back(text); }
  void ShowInfo(const std::string&, const std::string&) override {}
  std::vector<std::string> errors;
};

// A room in dim light; a figure stands at `x` when there is one.
cv::Mat Scene(int x, bool figure) {
  cv::Mat scene(360, 640, CV_8UC3, cv::Scalar(70, 80, 90));
  scene(cv::Rect(0, 260, 640, 100)).setTo(cv::Scalar(40, 55, 75));
  scene(cv::Rect(440, 60, 120, 200)).setTo(cv::Scalar(30, 45, 60));
  if (figure) {
    cv::circle(scene, cv::Point(x, 120), 22, cv::Scalar(60, 90, 150), cv::FILLED);
    scene(cv::Rect(x - 30, 145, 60, 130)).setTo(cv::Scalar(110, 40, 30));
  }
  return scene;
}

struct Made {
  bool clip;
  bool firstPicture;
  bool person;
  int64_t lengthMs;
};

// An event folder as the archive leaves it, started `index` minutes after the first.
std::string MakeEvent(const std::string& root, int index, const Made& made) {
  const std::string folder = root + "/event-" + std::to_string(index);
  std::filesystem::create_directories(folder);
  const int64_t start = kFirstStartMs + index * 60000;
  std::ofstream(folder + "/" + kEventMarkerFile) << kEventMarkerLine << "\nstart_ms=" << start
                                                 << "\nend_ms=" << (made.lengthMs ? start + made.lengthMs : 0)
                                                 << "\nperson=" << made.person << "\nframes=12\n";
  if (made.firstPicture) cv::imwrite(folder + "/" + kEventFirstPicture, Scene(100 + 40 * index, false));
  if (made.person) cv::imwrite(folder + "/" + kEventPersonPicture, Scene(200 + 40 * index, true));
  if (made.clip) {
    cv::VideoWriter clip(folder + "/" + kEventClip, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 4,
                         cv::Size(640, 360));
    for (int i = 0; i < 12; ++i) clip.write(Scene(100 + 30 * i, made.person));
  }
  return folder;
}

class EventHistoryTest : public QtAppTest {
protected:
  EventHistoryTest() { InstallMessagePresenter(&shown); }
  ~EventHistoryTest() override { InstallMessagePresenter(nullptr); }
  TempDir root;
  StatusLog log;
  Errors shown;
  DesktopCatcher desktop;
};
} // namespace

TEST_F(EventHistoryTest, RowsNewestFirstWithPictureLengthPersonAndWhatADoubleClickOpens) {
  struct Row {
    Made made;
    const char* length;
    const char* person;
    const char* opens;  // in the event's folder; empty: an error is shown
  } rows[] = {
      {{true, true, true, 65000}, "1分05秒", "人物あり", kEventClip},
      {{false, true, true, 9000}, "9秒", "人物あり", kEventPersonPicture},
      {{false, true, false, 0}, "記録中", "", kEventFirstPicture},
      {{false, false, false, 3000}, "3秒", "", ""},
  };
  std::vector<std::string> folders;
  for (int i = 0; i < 4; ++i) folders.push_back(MakeEvent(root.Path(), i, rows[i].made));
  TEventHistoryDialog dialog(log, root.Path());
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QTreeWidget* list = dialog.EventList;
  ASSERT_EQ(list->topLevelItemCount(), 4);
  EXPECT_TRUE(dialog.EventNote->text().contains(QString::fromUtf8("4件")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.ThumbnailsPending() == 0; }));
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const Row& row = rows[i];
    QTreeWidgetItem* item = list->topLevelItem(3 - i);
    EventInfo event;
    ASSERT_TRUE(ReadEventInfo(folders[i], event));
    EXPECT_EQ(item->text(1).toStdString(), EventStartText(event));
    EXPECT_EQ(item->text(2).toStdString(), row.length);
    EXPECT_EQ(item->text(3).toStdString(), row.person);
    // The person's picture has the figure's blue coat where the first has the floor.
    const QImage thumbnail = item->icon(0).pixmap(kThumbnailWidth, kThumbnailHeight).toImage();
    const QColor coat = thumbnail.pixelColor(thumbnail.width() * (200 + 40 * i) / 640, thumbnail.height() * 200 / 360);
    EXPECT_EQ(coat.blue() > 90, row.made.person) << coat.name().toStdString();

    const std::string expected = *row.opens ? folders[i] + "/" + row.opens : "";
    EXPECT_EQ(dialog.OpenTarget(3 - i), expected);
    list->scrollToItem(item);
    // A double click as the view meets it: the press of its first click, then the second.
    const QPoint at = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    if (*row.opens) {
      ASSERT_FALSE(desktop.opened.isEmpty());
      EXPECT_EQ(desktop.opened.takeLast().toStdString(), expected);
    } else {
      EXPECT_TRUE(desktop.opened.isEmpty());
      ASSERT_EQ(shown.errors.size(), 1u);
    }
  }
}

TEST_F(EventHistoryTest, ListsTheNewestUpToItsLimit) {
  for (int i = 0; i <= kMaxEventsListed; ++i) {
    const std::string folder = root.File("e" + std::to_string(i));
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/" + kEventMarkerFile) << kEventMarkerLine << "\nstart_ms=" << kFirstStartMs + i * 1000 << "\n";
  }
  TEventHistoryDialog dialog(log, root.Path());
  ASSERT_EQ(dialog.EventList->topLevelItemCount(), kMaxEventsListed);
  EventInfo newest;
  newest.startMs = kFirstStartMs + kMaxEventsListed * 1000;
  EXPECT_EQ(dialog.EventList->topLevelItem(0)->text(1).toStdString(), EventStartText(newest));
  EXPECT_TRUE(dialog.EventNote->text().contains(QString::number(kMaxEventsListed + 1)));
}

// The events folder opens on the desktop, made first when there is none yet;
// one that cannot be made is told, and nothing is opened.
TEST_F(EventHistoryTest, EventFolderMenuMakesAndOpensTheFolder) {
  TempDir config;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  const std::string blocked = root.File("file");
  WriteFileBytes(blocked, "x");
  CallLog calls;
  RecordingSound sound{calls};
  RecordingMail mail{calls};
  TMainForm form(&sound, &mail);
  const std::pair<std::string, bool> rows[] = {{root.File("events/front"), true}, {blocked + "/events", false}};
  for (const auto& [folder, made] : rows) {
    SCOPED_TRACE(folder);
    AppSettings.EVENT_DIR = folder;
    form.EventFolderMenu->trigger();
    EXPECT_EQ(std::filesystem::is_directory(folder), made);
    EXPECT_EQ(desktop.opened, made ? QStringList{QString::fromStdString(folder)} : QStringList{});
    EXPECT_EQ(shown.errors.size(), made ? 0u : 1u);
    desktop.opened.clear();
    shown.errors.clear();
  }
  unsetenv("XDG_CONFIG_HOME");
}

// The picture for the documentation, taken only when asked:
// VARDOCAM_SCREENSHOT_DIR=docs/screenshots QT_QPA_PLATFORM=xcb under Xvfb.
TEST_F(EventHistoryTest, Screenshots) {
  const char* dir = std::getenv("VARDOCAM_SCREENSHOT_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "VARDOCAM_SCREENSHOT_DIR not set";
  const Made made[] = {{true, true, false, 7000}, {true, true, true, 42000}, {true, true, false, 12000},
                       {true, true, true, 95000}};
  for (int i = 0; i < 4; ++i) MakeEvent(root.Path(), i, made[i]);
  log.MonitoringStarted(0);
  log.AlarmStarted();
  log.AlertMailDone(true, "");
  TEventHistoryDialog dialog(log, root.Path());
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.ThumbnailsPending() == 0; }));
  QTest::qWait(200);
  EXPECT_TRUE(dialog.grab().save(QString::fromUtf8(dir) + "/event-list.png"));
}

#include "event_history_test.moc"
