#include "vision/BmpReader.h"

#include "capture/FrameLimits.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
constexpr size_t kHeaderSize = 54;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint16_t kBitsPerPixel = 24;
constexpr uint32_t kUncompressed = 0;
// Rows read per system call: two pieces a row (pixels, padding) within
// the system's limit of pieces per call.
constexpr int kRowsPerRead = IOV_MAX / 2;

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

class File {
public:
  explicit File(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~File() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }

private:
  int fd_;
};

bool ReadFully(int fd, iovec* pieces, int count, off_t offset, size_t expected) {
  const ssize_t n = preadv(fd, pieces, count, offset);
  return n >= 0 && static_cast<size_t>(n) == expected;
}
} // namespace

BitmapRead ReadBgrBitmap(const std::string& path, cv::Mat& picture) {
  File file(path);
  if (file.fd() < 0) return BitmapRead::OtherLayout;
  uint8_t h[kHeaderSize];
  if (pread(file.fd(), h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return BitmapRead::OtherLayout;
  if (h[0] != 'B' || h[1] != 'M' || U32(h + 14) != kInfoHeaderSize || U16(h + 26) != 1 ||
      U16(h + 28) != kBitsPerPixel || U32(h + 30) != kUncompressed)
    return BitmapRead::OtherLayout;
  const int32_t width = static_cast<int32_t>(U32(h + 18));
  const int32_t rawHeight = static_cast<int32_t>(U32(h + 22));
  const uint32_t dataOffset = U32(h + 10);
  if (rawHeight == INT32_MIN || dataOffset < kHeaderSize) return BitmapRead::Refused;
  const bool bottomUp = rawHeight > 0;
  const int height = bottomUp ? rawHeight : -rawHeight;
  // Checked before the length test so that no product below can overflow.
  if (!FrameSizeAllowed(width, height)) return BitmapRead::Refused;
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  const size_t stride = (rowBytes + 3) & ~static_cast<size_t>(3);
  struct stat st{};
  if (fstat(file.fd(), &st) != 0 ||
      static_cast<uint64_t>(st.st_size) < dataOffset + static_cast<uint64_t>(stride) * height)
    return BitmapRead::Refused;

  if (picture.rows != height || picture.cols != width || picture.type() != CV_8UC3 ||
      !picture.isContinuous() || (picture.u && picture.u->refcount != 1))
    picture = cv::Mat(height, width, CV_8UC3);  // create() would keep a shared buffer

  uint8_t padding[3];
  std::vector<iovec> pieces;
  pieces.reserve(2 * kRowsPerRead);
  for (int first = 0; first < height; first += kRowsPerRead) {
    const int rows = std::min(kRowsPerRead, height - first);
    pieces.clear();
    for (int i = first; i < first + rows; ++i) {
      const int target = bottomUp ? height - 1 - i : i;
      pieces.push_back({picture.ptr(target), rowBytes});
      if (stride > rowBytes) pieces.push_back({padding, stride - rowBytes});
    }
    const off_t offset = static_cast<off_t>(dataOffset) + static_cast<off_t>(stride) * first;
    if (!ReadFully(file.fd(), pieces.data(), static_cast<int>(pieces.size()), offset,
                   stride * rows))
      return BitmapRead::Refused;
  }
  return BitmapRead::Read;
}
