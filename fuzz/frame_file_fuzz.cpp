// The frame file reader: a file it accepts yields exactly the picture its
// header claims, never larger than the file can hold, the same again when
// the picture's memory is reused, and the same again after the capture's
// writer has rewritten it through the kept mapping.
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "fuzz/FuzzCheck.h"
#include "capture/BmpFile.h"
#include "vision/BmpReader.h"

namespace {
constexpr size_t kHeaderBytes = 54;

const std::string& Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/vardocam-fuzz-XXXXXX";
    if (!mkdtemp(name)) std::abort();
    return std::string(name);
  }();
  return folder;
}

std::string FramePath() { return Folder() + "/input.bmp"; }

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
}

int32_t I32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return static_cast<int32_t>(v);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = FramePath();
  WriteFile(path, data, size);
  cv::Mat picture;
  if (ReadBgrBitmap(path, picture) != BitmapRead::Read) return 0;

  FUZZ_CHECK(size >= kHeaderBytes);
  const int32_t width = I32(data + 18);
  const int32_t height = I32(data + 22);
  FUZZ_CHECK(picture.type() == CV_8UC3 && picture.isContinuous());
  FUZZ_CHECK(picture.cols == width);
  FUZZ_CHECK(static_cast<int64_t>(picture.rows) == (height < 0 ? -int64_t{height} : height));
  FUZZ_CHECK(picture.total() * 3 <= size - kHeaderBytes);

  // A second read into the same memory gives the same picture.
  const cv::Mat copy = picture.clone();
  FUZZ_CHECK(ReadBgrBitmap(path, picture) == BitmapRead::Read);
  FUZZ_CHECK(std::memcmp(copy.data, picture.data, copy.total() * 3) == 0);

  // Written twice by the capture's writer (the second time into the kept
  // mapping) and read back: the same picture.
  const std::string rewritten = Folder() + "/result.bmp";
  FUZZ_CHECK(WriteBmpFile(rewritten, copy));
  FUZZ_CHECK(WriteBmpFile(rewritten, copy));
  cv::Mat again;
  FUZZ_CHECK(ReadBgrBitmap(rewritten, again) == BitmapRead::Read);
  FUZZ_CHECK(again.size() == copy.size());
  FUZZ_CHECK(std::memcmp(copy.data, again.data, copy.total() * 3) == 0);
  return 0;
}
