#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "capture/BmpFile.h"
#include "capture/MappedFrameFile.h"
#include "support/TempDir.h"
#include "vision/BmpReader.h"

namespace {
cv::Mat Noise(int w, int h, unsigned seed) {
  cv::Mat frame(h, w, CV_8UC3);
  cv::theRNG().state = seed;
  cv::randu(frame, 0, 256);
  return frame;
}

bool Same(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

struct stat StatOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

// Each test starts with nothing mapped, as the program does.
class MappedFrameFile : public ::testing::Test {
protected:
  void SetUp() override { ForgetMappedFrameFile(); }
  void TearDown() override { ForgetMappedFrameFile(); }
  TempDir dir_;
};
} // namespace

TEST_F(MappedFrameFile, RewrittenFilesHoldTheSameBytesAsAFileWrittenOnce) {
  // An odd width has padded rows; the kept mapping must write them as the
  // ordinary write does, and every reader must see each new frame.
  for (const cv::Size size : {cv::Size(641, 479), cv::Size(1920, 1080), cv::Size(3, 2)}) {
    const std::string path = dir_.File("result.bmp");
    for (unsigned frame = 1; frame <= 3; ++frame) {
      const cv::Mat picture = Noise(size.width, size.height, frame);
      ASSERT_TRUE(WriteBmpFile(path, picture));
      const std::string once = dir_.File("once.bmp");
      ASSERT_TRUE(WriteBmpFile(once, picture));  // another path: the ordinary write
      ASSERT_EQ(ReadFileBytes(path), ReadFileBytes(once)) << size << " frame " << frame;
      cv::Mat read;
      ASSERT_EQ(ReadBgrBitmap(path, read), BitmapRead::Read);
      EXPECT_TRUE(Same(read, picture)) << size << " frame " << frame;
      WriteBmpFile(path, picture);  // the next frame comes back to this path
    }
  }
}

// Programs that wait for the frame file to change, by its time stamp or by
// inotify, must see every write, the mapped ones too.
TEST_F(MappedFrameFile, EveryWriteMovesTheTimeStampAndIsSeenByInotify) {
  const std::string path = dir_.File("result.bmp");
  const cv::Mat picture = Noise(64, 48, 1);
  ASSERT_TRUE(WriteBmpFile(path, picture));
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_MODIFY | IN_CLOSE_WRITE), 0);
  for (int write = 1; write <= 3; ++write) {  // each goes through the mapping
    const struct timespec old[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    ASSERT_TRUE(WriteBmpFile(path, picture));
    EXPECT_GT(StatOf(path).st_mtime, 1) << "write " << write;
    uint32_t seen = 0;
    alignas(struct inotify_event) char events[4096];
    for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;) {
      for (char* at = events; at < events + n;) {
        const auto* event = reinterpret_cast<const struct inotify_event*>(at);
        seen |= event->mask;
        at += sizeof(struct inotify_event) + event->len;
      }
    }
    EXPECT_EQ(seen & (IN_MODIFY | IN_CLOSE_WRITE), uint32_t(IN_MODIFY | IN_CLOSE_WRITE)) << "write " << write;
  }
  close(watch);
}

TEST_F(MappedFrameFile, AFileCutShortOrReplacedByAnotherProgramIsNeverReadStale) {
  const std::string path = dir_.File("result.bmp");
  const cv::Mat first = Noise(64, 48, 1);
  ASSERT_TRUE(WriteBmpFile(path, first));
  ASSERT_TRUE(WriteBmpFile(path, first));  // now kept mapped

  // Cut short: the reader goes the ordinary way and refuses it.
  ASSERT_EQ(truncate(path.c_str(), 100), 0);
  cv::Mat read;
  EXPECT_EQ(ReadBgrBitmap(path, read), BitmapRead::Refused);
  // The next frame gives the file its whole length back.
  const cv::Mat second = Noise(64, 48, 2);
  ASSERT_TRUE(WriteBmpFile(path, second));
  ASSERT_EQ(ReadBgrBitmap(path, read), BitmapRead::Read);
  EXPECT_TRUE(Same(read, second));

  // Replaced by a new file of the same length: its frame, not the mapped one.
  const cv::Mat other = Noise(64, 48, 3);
  ASSERT_TRUE(WriteBmpFile(dir_.File("other.bmp"), other));
  ASSERT_EQ(rename(dir_.File("other.bmp").c_str(), path.c_str()), 0);
  ASSERT_EQ(ReadBgrBitmap(path, read), BitmapRead::Read);
  EXPECT_TRUE(Same(read, other));
  // And the writer writes into the new file, not into the old mapping.
  const cv::Mat third = Noise(64, 48, 4);
  ASSERT_TRUE(WriteBmpFile(path, third));
  ASSERT_EQ(ReadBgrBitmap(path, read), BitmapRead::Read);
  EXPECT_TRUE(Same(read, third));
}

TEST_F(MappedFrameFile, ACopyFromPagesCutAwayUnderItFailsInsteadOfEndingTheProgram) {
  const std::string path = dir_.File("result.bmp");
  const cv::Mat frame = Noise(640, 480, 5);
  ASSERT_TRUE(WriteBmpFile(path, frame));
  ASSERT_TRUE(WriteBmpFile(path, frame));
  const struct stat before = StatOf(path);
  // Another program cuts the file between our look at it and the copy.
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  bool ran = false;
  EXPECT_EQ(ReadMappedFrameFile(before, [&](const uint8_t* bytes, size_t size) {
              ran = true;
              volatile uint8_t sum = 0;
              for (size_t i = 0; i < size; i += 4096) sum = sum + bytes[i];
            }),
            MappedUse::Failed);
  EXPECT_TRUE(ran);
  // The mapping was dropped; the next frame is written whole again.
  ASSERT_TRUE(WriteBmpFile(path, frame));
  cv::Mat read;
  ASSERT_EQ(ReadBgrBitmap(path, read), BitmapRead::Read);
  EXPECT_TRUE(Same(read, frame));
}

TEST_F(MappedFrameFile, TheFaultGuardLetsOrdinaryCopiesThroughAndCatchesOnlyItsOwn) {
  EXPECT_TRUE(RunFaultGuarded([] {}));
  // A page of a file mapped beyond its end raises SIGBUS when touched.
  const std::string path = dir_.File("short");
  const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  void* pages = mmap(nullptr, 2 * 4096, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(pages, MAP_FAILED);
  const auto* bytes = static_cast<const volatile uint8_t*>(pages);
  EXPECT_TRUE(RunFaultGuarded([&] { (void)bytes[0]; }));
  // Nested guards: the inner one catches, the outer one goes on.
  EXPECT_TRUE(RunFaultGuarded([&] { EXPECT_FALSE(RunFaultGuarded([&] { (void)bytes[4096]; })); }));
  EXPECT_FALSE(RunFaultGuarded([&] { (void)bytes[4096]; }));
  munmap(pages, 2 * 4096);
}

TEST_F(MappedFrameFile, FilesThatAreNoPlainFileAreNeverMapped) {
  const cv::Mat frame(4, 4, CV_8UC3, cv::Scalar::all(0));
  EXPECT_FALSE(WriteBmpFile("/dev/full", frame));
  EXPECT_FALSE(WriteBmpFile("/dev/full", frame));  // the second write would map
  EXPECT_FALSE(WriteBmpFile(dir_.Path(), frame));
  EXPECT_FALSE(WriteBmpFile(dir_.Path(), frame));
}
