#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "archive/ContactSheet.h"
#include "support/TempDir.h"

namespace {
constexpr int64_t kStartMs = 1765000000000, kLengthMs = 9000;
// Clip frame i is grey 20 + 22 i; the pictures are told apart by colour.
enum Picture { kPerson = -1, kFirst = -2, kPeak = -3 };
cv::Scalar ColourOf(int source) {
  const cv::Scalar pictures[] = {{60, 60, 200}, {60, 200, 60}, {200, 60, 60}};  // peak, first, person
  const double grey = 20 + 22 * source;
  return source >= 0 ? cv::Scalar(grey, grey, grey) : pictures[source + 3];
}
cv::Mat Filled(int source) { return cv::Mat(240, 320, CV_8UC3, ColourOf(source)); }
bool Near(const cv::Scalar& a, const cv::Scalar& b) { return cv::norm(a - b, cv::NORM_INF) <= 8; }
} // namespace

TEST(ContactSheet, FramesAcrossTheClipPersonFirstStampedInTiles) {
  struct Row {
    int clipFrames;
    bool person;
    std::vector<int> sources;  // clip frame indices, or the pictures
  } rows[] = {
      {10, true, {kPerson, 0, 2, 4, 6, 9}},
      {10, false, {0, 1, 3, 5, 7, 9}},
      {4, false, {0, 1, 2, 3}},                // fewer frames than the sheet holds
      {0, true, {kPerson, kFirst, kPeak}},     // no clip: the pictures
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.sources.size());
    const std::string folder = dir.File(std::to_string(&row - rows));
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/" + kEventMarkerFile) << kEventMarkerLine << "\nstart_ms=" << kStartMs
        << "\nend_ms=" << kStartMs + kLengthMs << "\nperson=" << row.person << "\nframes=" << row.clipFrames << "\n";
    cv::imwrite(folder + "/" + kEventFirstPicture, Filled(kFirst));
    cv::imwrite(folder + "/" + kEventPeakPicture, Filled(kPeak));
    if (row.person) cv::imwrite(folder + "/" + kEventPersonPicture, Filled(kPerson));
    cv::VideoWriter clip;
    if (row.clipFrames) clip.open(folder + "/" + kEventClip, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 1, {320, 240});
    for (int i = 0; i < row.clipFrames; ++i) clip.write(Filled(i));
    clip.release();
    EventInfo event;
    ASSERT_TRUE(ReadEventInfo(folder, event));

    const std::vector<SheetFrame> frames = EventSheetFrames(event);
    const cv::Mat sheet = BuildContactSheet(frames);
    ASSERT_EQ(frames.size(), row.sources.size());
    const int columns = std::min<int>(frames.size(), kSheetColumns);
    const cv::Size tile(kSheetWidth / columns, kSheetWidth / columns * 3 / 4);
    ASSERT_EQ(sheet.size(), cv::Size(kSheetWidth, (frames.size() + columns - 1) / columns * tile.height));
    for (size_t i = 0; i < frames.size(); ++i) {
      SCOPED_TRACE(i);
      const int source = row.sources[i];
      EXPECT_EQ(frames[i].person, source == kPerson);
      // A clip frame's time is its share of the event's length.
      if (source >= 0) {
        EXPECT_EQ(frames[i].timeMs, kStartMs + kLengthMs * source / (row.clipFrames - 1));
      }
      const cv::Mat shown = sheet(cv::Rect(cv::Point(i % columns * tile.width, i / columns * tile.height), tile));
      EXPECT_TRUE(Near(cv::Scalar(shown.at<cv::Vec3b>(tile.height / 2, tile.width / 2)), ColourOf(source)));
      // The stamp: white digits on a dark band at the lower left.
      cv::Mat band;
      cv::cvtColor(shown(cv::Rect(0, tile.height * 4 / 5, tile.width / 2, tile.height / 5)), band, cv::COLOR_BGR2GRAY);
      double least = 0, most = 0;
      cv::minMaxLoc(band, &least, &most);
      EXPECT_TRUE(least < 10 && most > 240) << least << " " << most;
    }
  }
}
