#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <opencv2/imgcodecs.hpp>

#include "capture/BmpFile.h"
#include "capture/CameraSource.h"
#include "capture/FrameStore.h"
#include "capture/VideoDevices.h"
#include "support/TempDir.h"

namespace {
uint32_t U32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

uint16_t U16At(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | (static_cast<uint8_t>(bytes[at + 1]) << 8));
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool SameImage(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}
} // namespace

TEST(BmpFile, FullFrameHasHeaderSizesAndBottomUpRows) {
  TempDir dir;
  cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(10, 20, 30));
  frame.row(0).setTo(cv::Scalar(255, 0, 0));    // top row blue
  frame.row(479).setTo(cv::Scalar(0, 0, 255));  // bottom row red
  const std::string path = dir.File("result.bmp");
  ASSERT_TRUE(WriteBmpFile(path, frame));

  const std::string bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 921654u);
  EXPECT_EQ(bytes.substr(0, 2), "BM");
  EXPECT_EQ(U32At(bytes, 2), 921654u);
  EXPECT_EQ(U32At(bytes, 6), 0u);  // both reserved words
  EXPECT_EQ(U32At(bytes, 10), 54u);
  EXPECT_EQ(U32At(bytes, 14), 40u);
  EXPECT_EQ(U32At(bytes, 18), 640u);
  EXPECT_EQ(U32At(bytes, 22), 480u);  // positive: bottom-up
  EXPECT_EQ(U16At(bytes, 26), 1u);
  EXPECT_EQ(U16At(bytes, 28), 24u);
  EXPECT_EQ(U32At(bytes, 30), 0u);  // uncompressed
  EXPECT_EQ(U32At(bytes, 34), 921600u);
  EXPECT_EQ(U32At(bytes, 46), 0u);  // no colour table
  // The first stored row is the picture's bottom row, in B, G, R order.
  EXPECT_EQ(static_cast<uint8_t>(bytes[54]), 0);
  EXPECT_EQ(static_cast<uint8_t>(bytes[56]), 255);
  EXPECT_EQ(static_cast<uint8_t>(bytes[bytes.size() - 3]), 255);

  EXPECT_TRUE(SameImage(cv::imread(path, cv::IMREAD_COLOR), frame));
}

TEST(BmpFile, OddWidthRowsArePaddedToFourBytes) {
  TempDir dir;
  cv::Mat frame(2, 3, CV_8UC3);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 3; ++c) frame.at<cv::Vec3b>(r, c) = cv::Vec3b(r * 100 + c, 7, 9);
  const std::string path = dir.File("odd.bmp");
  ASSERT_TRUE(WriteBmpFile(path, frame));

  const std::string bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 54u + 2 * 12);
  EXPECT_EQ(U32At(bytes, 2), 78u);
  EXPECT_EQ(U32At(bytes, 34), 24u);
  const std::string bottomRow("\x64\x07\x09\x65\x07\x09\x66\x07\x09\0\0\0", 12);
  const std::string topRow("\x00\x07\x09\x01\x07\x09\x02\x07\x09\0\0\0", 12);
  EXPECT_EQ(bytes.substr(54, 12), bottomRow);
  EXPECT_EQ(bytes.substr(66, 12), topRow);
  EXPECT_TRUE(SameImage(cv::imread(path, cv::IMREAD_COLOR), frame));
}

TEST(BmpFile, SmallerFrameReplacesLargerFileCompletely) {
  TempDir dir;
  const std::string path = dir.File("result.bmp");
  ASSERT_TRUE(WriteBmpFile(path, cv::Mat(480, 640, CV_8UC3, cv::Scalar(1, 2, 3))));
  const cv::Mat small(5, 7, CV_8UC3, cv::Scalar(200, 100, 50));
  ASSERT_TRUE(WriteBmpFile(path, small));
  EXPECT_EQ(ReadFileBytes(path).size(), 54u + 5 * 24);
  EXPECT_TRUE(SameImage(cv::imread(path, cv::IMREAD_COLOR), small));
}

TEST(BmpFile, FailsWhenTheFileCannotBeWrittenCompletely) {
  TempDir dir;
  const cv::Mat frame(4, 4, CV_8UC3, cv::Scalar::all(0));
  EXPECT_FALSE(WriteBmpFile(dir.File("missing/result.bmp"), frame));
  EXPECT_FALSE(WriteBmpFile(dir.Path(), frame));  // a folder
  EXPECT_FALSE(WriteBmpFile("/dev/full", frame));  // no space left
  EXPECT_FALSE(WriteBmpFile(dir.File("grey.bmp"), cv::Mat(4, 4, CV_8UC1)));
  EXPECT_FALSE(Exists(dir.File("grey.bmp")));
}

TEST(FrameStore, WritesOnlyWhenAFrameExistsAndTracksWhatWasWritten) {
  TempDir dir;
  const std::string path = dir.File("result.bmp");
  FrameStore store;
  EXPECT_FALSE(store.HasNewFrame());
  EXPECT_FALSE(store.WriteLatest(path));
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(store.WaitForFirstFrame(std::chrono::milliseconds(1)));

  cv::Mat first(2, 2, CV_8UC3, cv::Scalar::all(50));
  store.Publish(first);
  EXPECT_TRUE(store.WaitForFirstFrame(std::chrono::milliseconds(1)));
  EXPECT_TRUE(store.HasNewFrame());
  // A failed write leaves the frame waiting for the next tick.
  EXPECT_FALSE(store.WriteLatest("/dev/full"));
  EXPECT_TRUE(store.HasNewFrame());
  EXPECT_TRUE(store.WriteLatest(path));
  EXPECT_FALSE(store.HasNewFrame());

  cv::Mat second(3, 3, CV_8UC3, cv::Scalar::all(150));
  store.Publish(second);
  EXPECT_TRUE(store.HasNewFrame());
  EXPECT_TRUE(store.WriteLatest(path));
  EXPECT_EQ(cv::imread(path).at<cv::Vec3b>(0, 0), cv::Vec3b(150, 150, 150));
}

// A taken frame comes from memory only while the file provably holds it:
// a replacement, a cut or another writer sends the tick back to the file;
// a file that could not be written leaves the frame in memory all the same.
TEST(FrameStore, TakenFrameIsTrustedOnlyWhileTheFileIsOurOwnWrite) {
  struct Row {
    const char* name;
    bool toDevFull;
    std::function<void(const std::string& path)> meanwhile;
    FrameTake take;
    bool unchanged;
  };
  const auto otherBytes = [](const std::string& path) {
    cv::imwrite(path + ".new.bmp", cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(9)));
    return path + ".new.bmp";
  };
  const Row rows[] = {
      {"our own write", false, [](const std::string&) {}, FrameTake::Written, true},
      {"replaced", false, [&](const std::string& p) { std::rename(otherBytes(p).c_str(), p.c_str()); },
       FrameTake::Written, false},
      {"cut short", false, [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 10), 0); }, FrameTake::Written,
       false},
      {"rewritten in place", false,
       [](const std::string& p) {
         std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the file clock's grain
         std::FILE* f = std::fopen(p.c_str(), "r+");
         std::fputc('X', f);
         std::fclose(f);
       },
       FrameTake::Written, false},
      {"disk full", true, [](const std::string&) {}, FrameTake::NotWritten, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string path = row.toDevFull ? "/dev/full" : dir.File("result.bmp");
    FrameStore store;
    cv::Mat frame(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
    store.Publish(frame);
    cv::Mat taken;
    FrameFileStamp stamp;
    EXPECT_EQ(store.TakeLatest(path, taken, stamp), row.take);
    EXPECT_FALSE(store.HasNewFrame());  // never handled twice
    EXPECT_EQ(taken.at<cv::Vec3b>(3, 3), cv::Vec3b(1, 2, 3));
    row.meanwhile(path);
    EXPECT_EQ(FrameFileUnchanged(path, stamp), row.unchanged);
    // The reader never decodes into the buffer handed out.
    cv::Mat next(4, 4, CV_8UC3, cv::Scalar::all(7));
    store.Publish(next);
    EXPECT_NE(next.data, taken.data);
    // Given back once nobody holds it, the buffer takes a later frame.
    const uchar* given = taken.data;
    store.GiveBack(taken);
    cv::Mat again;
    store.TakeLatest(path, again, stamp);
    cv::Mat third(4, 4, CV_8UC3, cv::Scalar::all(5));
    store.Publish(third);
    EXPECT_EQ(third.data, given);
  }
}

TEST(VideoDevices, OnlyNodesThatThemselvesCaptureVideoAreCameras) {
  const uint32_t device = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS;
  EXPECT_TRUE(IsVideoCaptureNode(device, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING));
  EXPECT_FALSE(IsVideoCaptureNode(device, V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING));
  // Old drivers state no per-node capabilities.
  EXPECT_TRUE(IsVideoCaptureNode(V4L2_CAP_VIDEO_CAPTURE, 0));
  EXPECT_FALSE(IsVideoCaptureNode(V4L2_CAP_VIDEO_OUTPUT, 0));
}

TEST(CaptureTimings, ReopenBackOffDoublesUpToItsLimit) {
  CaptureTimings timings;
  EXPECT_EQ(NextReopenDelay(kReopenFirstDelayMs, timings), 2 * kReopenFirstDelayMs);
  EXPECT_EQ(NextReopenDelay(kReopenMaxDelayMs / 2 + 1, timings), kReopenMaxDelayMs);
  EXPECT_EQ(NextReopenDelay(kReopenMaxDelayMs, timings), kReopenMaxDelayMs);
  timings.reopenMaxDelayMs = 300;
  EXPECT_EQ(NextReopenDelay(200, timings), 300u);
}
