#include "vision/BmpReader.h"

#include "capture/BmpFile.h"
#include "capture/FrameLimits.h"
#include "capture/MappedFrameFile.h"
#include "capture/OwnBuffer.h"

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
// Where a frame file's rows are, from its header and its length.
struct Layout {
  int width = 0;
  int height = 0;
  bool bottomUp = true;
  uint32_t dataOffset = 0;
  size_t rowBytes = 0;
  size_t stride = 0;
};

BitmapRead ParseHeader(const uint8_t* h, uint64_t fileLength, Layout& layout) {
  if (h[0] != 'B' || h[1] != 'M' || U32(h + 14) != kInfoHeaderSize || U16(h + 26) != 1 ||
      U16(h + 28) != kBitsPerPixel || U32(h + 30) != kUncompressed)
    return BitmapRead::OtherLayout;
  const int32_t width = static_cast<int32_t>(U32(h + 18));
  const int32_t rawHeight = static_cast<int32_t>(U32(h + 22));
  layout.dataOffset = U32(h + 10);
  if (rawHeight == INT32_MIN || layout.dataOffset < kHeaderSize) return BitmapRead::Refused;
  layout.bottomUp = rawHeight > 0;
  layout.width = width;
  layout.height = layout.bottomUp ? rawHeight : -rawHeight;
  // Checked before the length test so that no product below can overflow.
  if (!FrameSizeAllowed(layout.width, layout.height)) return BitmapRead::Refused;
  layout.rowBytes = static_cast<size_t>(width) * 3;
  layout.stride = BmpRowStride(width);
  if (fileLength < layout.dataOffset + static_cast<uint64_t>(layout.stride) * layout.height)
    return BitmapRead::Refused;
  return BitmapRead::Read;
}

// The frame file kept mapped: one copy per row, straight from its pages.
void ReadMapped(const uint8_t* bytes, size_t size, cv::Mat& picture, BitmapRead& result) {
  uint8_t h[kHeaderSize];
  if (size < kHeaderSize) {
    result = BitmapRead::OtherLayout;
    return;
  }
  std::memcpy(h, bytes, kHeaderSize);
  Layout layout;
  result = ParseHeader(h, size, layout);
  if (result != BitmapRead::Read) return;
  UseOwnBuffer(picture, cv::Size(layout.width, layout.height), CV_8UC3);
  const uint8_t* row = bytes + layout.dataOffset;
  for (int i = 0; i < layout.height; ++i, row += layout.stride) {
    const int target = layout.bottomUp ? layout.height - 1 - i : i;
    std::memcpy(picture.ptr(target), row, layout.rowBytes);
  }
}
} // namespace

BitmapRead ReadBgrBitmap(const std::string& path, cv::Mat& picture) {
  File file(path);
  if (file.fd() < 0) return BitmapRead::OtherLayout;
  struct stat st{};
  if (fstat(file.fd(), &st) != 0) return BitmapRead::OtherLayout;
  BitmapRead mappedResult = BitmapRead::Refused;
  switch (ReadMappedFrameFile(st, [&](const uint8_t* bytes, size_t size) {
    ReadMapped(bytes, size, picture, mappedResult);
  })) {
  case MappedUse::Done:
    return mappedResult;
  case MappedUse::Failed:
    return BitmapRead::Refused;
  case MappedUse::NotMapped:
    break;
  }

  uint8_t h[kHeaderSize];
  if (pread(file.fd(), h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return BitmapRead::OtherLayout;
  Layout layout;
  const BitmapRead parsed = ParseHeader(h, static_cast<uint64_t>(st.st_size), layout);
  if (parsed != BitmapRead::Read) return parsed;
  UseOwnBuffer(picture, cv::Size(layout.width, layout.height), CV_8UC3);

  const int height = layout.height;
  const size_t rowBytes = layout.rowBytes;
  const size_t stride = layout.stride;
  uint8_t padding[3];
  std::vector<iovec> pieces;
  pieces.reserve(2 * kRowsPerRead);
  for (int first = 0; first < height; first += kRowsPerRead) {
    const int rows = std::min(kRowsPerRead, height - first);
    pieces.clear();
    for (int i = first; i < first + rows; ++i) {
      const int target = layout.bottomUp ? height - 1 - i : i;
      pieces.push_back({picture.ptr(target), rowBytes});
      if (stride > rowBytes) pieces.push_back({padding, stride - rowBytes});
    }
    const off_t offset = static_cast<off_t>(layout.dataOffset) + static_cast<off_t>(stride) * first;
    if (!ReadFully(file.fd(), pieces.data(), static_cast<int>(pieces.size()), offset,
                   stride * rows))
      return BitmapRead::Refused;
  }
  return BitmapRead::Read;
}
