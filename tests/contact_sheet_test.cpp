#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "archive/ContactSheet.h"
#include "support/TempDir.h"

namespace {
constexpr int64_t kStartMs = 1765000000000;
constexpr int64_t kLengthMs = 9000;
const cv::Size kFrameSize(320, 240);
// The folder's pictures, told apart by colour (BGR); clip frame i is grey 20 + 22 i.
const cv::Scalar kPersonColour(200, 60, 60), kFirstColour(60, 200, 60), kPeakColour(60, 60, 200);
constexpr int kPersonPicture = -1, kFirstPicture = -2, kPeakPicture = -3;

cv::Scalar ClipColour(int i) { return cv::Scalar::all(20 + 22 * i); }

cv::Scalar ColourOf(int source) {
  return source == kPersonPicture ? kPersonColour : source == kFirstPicture ? kFirstColour
         : source == kPeakPicture ? kPeakColour : ClipColour(source);
}

// An event folder as the archive leaves it.
EventInfo MakeEvent(const std::string& folder, int clipFrames, bool person) {
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/" + kEventMarkerFile)
      << kEventMarkerLine << "\nstart_ms=" << kStartMs << "\nend_ms=" << kStartMs + kLengthMs
      << "\nperson=" << person << "\nframes=" << clipFrames << "\n";
  cv::imwrite(folder + "/" + kEventFirstPicture, cv::Mat(kFrameSize, CV_8UC3, kFirstColour));
  cv::imwrite(folder + "/" + kEventPeakPicture, cv::Mat(kFrameSize, CV_8UC3, kPeakColour));
  if (person) cv::imwrite(folder + "/" + kEventPersonPicture, cv::Mat(kFrameSize, CV_8UC3, kPersonColour));
  if (clipFrames > 0) {
    cv::VideoWriter clip(folder + "/" + kEventClip, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                         1, kFrameSize);
    EXPECT_TRUE(clip.isOpened());
    for (int i = 0; i < clipFrames; ++i) clip.write(cv::Mat(kFrameSize, CV_8UC3, ClipColour(i)));
  }
  EventInfo info;
  EXPECT_TRUE(ReadEventInfo(folder, info));
  return info;
}

bool Near(const cv::Scalar& a, const cv::Scalar& b) {
  for (int c = 0; c < 3; ++c)
    if (std::abs(a[c] - b[c]) > 8) return false;
  return true;
}
} // namespace

TEST(ContactSheet, FramesAcrossTheClipPersonFirstStampedInTiles) {
  struct Row {
    const char* name;
    int clipFrames;
    bool person;
    std::vector<int> sources;  // clip frame indices, or which picture
    int sheetRows;
  } rows[] = {
      {"six of ten, person first", 10, true, {kPersonPicture, 0, 2, 4, 6, 9}, 2},
      {"six of ten without a person", 10, false, {0, 1, 3, 5, 7, 9}, 2},
      {"a clip shorter than the sheet", 4, false, {0, 1, 2, 3}, 2},
      {"no clip: the pictures", 0, true, {kPersonPicture, kFirstPicture, kPeakPicture}, 1},
  };
  TempDir dir;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const EventInfo event = MakeEvent(dir.File(row.name), row.clipFrames, row.person);
    const std::vector<SheetFrame> frames = EventSheetFrames(event);
    ASSERT_EQ(frames.size(), row.sources.size());
    for (size_t i = 0; i < frames.size(); ++i) {
      SCOPED_TRACE(i);
      const int source = row.sources[i];
      EXPECT_TRUE(Near(cv::mean(frames[i].picture), ColourOf(source))) << cv::mean(frames[i].picture);
      EXPECT_EQ(frames[i].person, source == kPersonPicture);
      // A clip frame's time is its share of the event's length.
      if (source >= 0) {
        EXPECT_EQ(frames[i].timeMs, kStartMs + kLengthMs * source / (row.clipFrames - 1));
      }
    }
    const cv::Mat sheet = BuildContactSheet(frames);
    const int columns = std::min<int>(frames.size(), kSheetColumns);
    const cv::Size tile(kSheetWidth / columns, kSheetWidth / columns * 3 / 4);
    ASSERT_EQ(sheet.size(), cv::Size(kSheetWidth, row.sheetRows * tile.height));
    for (size_t i = 0; i < frames.size(); ++i) {
      SCOPED_TRACE(i);
      const cv::Mat shown = sheet(cv::Rect(cv::Point(i % columns * tile.width, i / columns * tile.height), tile));
      EXPECT_TRUE(Near(shown.at<cv::Vec3b>(tile.height / 2, tile.width / 2), ColourOf(row.sources[i])));
      // The stamp: white digits on a dark band at the lower left.
      const cv::Mat band = shown(cv::Rect(0, tile.height * 4 / 5, tile.width / 2, tile.height / 5));
      cv::Mat grey;
      cv::cvtColor(band, grey, cv::COLOR_BGR2GRAY);
      double least = 0, most = 0;
      cv::minMaxLoc(grey, &least, &most);
      EXPECT_LT(least, 10);
      EXPECT_GT(most, 240);
    }
  }
}
