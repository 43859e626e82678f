#include "capture/BmpFile.h"

#include "capture/MappedFrameFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
constexpr int kBitsPerPixel = 24;
constexpr int kBytesPerPixel = 3;
constexpr uint32_t kBiRgb = 0;  // uncompressed

void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Writes every byte the vectors describe at the file's start, resuming
// after short writes; the vectors are consumed on the way.
bool WriteAllAt(int fd, std::vector<iovec>& parts) {
  const size_t maxParts = static_cast<size_t>(IOV_MAX);
  off_t offset = 0;
  size_t first = 0;
  while (first < parts.size()) {
    const int count = static_cast<int>(std::min(maxParts, parts.size() - first));
    const ssize_t written = pwritev(fd, &parts[first], count, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) return false;
    offset += written;
    size_t left = static_cast<size_t>(written);
    while (left > 0 && first < parts.size()) {
      iovec& part = parts[first];
      const size_t taken = std::min(left, part.iov_len);
      part.iov_base = static_cast<uint8_t*>(part.iov_base) + taken;
      part.iov_len -= taken;
      left -= taken;
      if (part.iov_len == 0) ++first;
    }
  }
  return true;
}
} // namespace

size_t BmpRowStride(int width) {
  const size_t bytes = static_cast<size_t>(width) * kBytesPerPixel;
  return (bytes + kBmpRowAlignment - 1) / kBmpRowAlignment * kBmpRowAlignment;
}

bool BuildBmpHeader(int width, int height, std::array<uint8_t, kBmpHeaderSize>& header) {
  if (width <= 0 || height <= 0) return false;
  const uint64_t dataSize = static_cast<uint64_t>(BmpRowStride(width)) * static_cast<uint64_t>(height);
  if (dataSize + kBmpHeaderSize > UINT32_MAX) return false;
  header.fill(0);
  uint8_t* file = header.data();
  file[0] = 'B';
  file[1] = 'M';
  PutU32(file + 2, static_cast<uint32_t>(dataSize + kBmpHeaderSize));
  PutU32(file + 10, static_cast<uint32_t>(kBmpHeaderSize));
  uint8_t* info = file + kBmpFileHeaderSize;
  PutU32(info + 0, static_cast<uint32_t>(kBmpInfoHeaderSize));
  PutU32(info + 4, static_cast<uint32_t>(width));
  PutU32(info + 8, static_cast<uint32_t>(height));  // positive: bottom-up rows
  PutU16(info + 12, 1);                              // planes
  PutU16(info + 14, kBitsPerPixel);
  PutU32(info + 16, kBiRgb);
  PutU32(info + 20, static_cast<uint32_t>(dataSize));
  // Resolution and colour-table counts stay zero: no colour table.
  return true;
}

bool WriteBmpFile(const std::string& path, const cv::Mat& picture, struct stat* written) {
  if (picture.type() != CV_8UC3) return false;
  std::array<uint8_t, kBmpHeaderSize> header;
  if (!BuildBmpHeader(picture.cols, picture.rows, header)) return false;
  const size_t rowBytes = static_cast<size_t>(picture.cols) * kBytesPerPixel;
  const size_t stride = BmpRowStride(picture.cols);
  const size_t padBytes = stride - rowBytes;
  static const uint8_t kZeroPad[kBmpRowAlignment] = {};
  const size_t fileSize = kBmpHeaderSize + stride * static_cast<size_t>(picture.rows);

  // The frame file rewritten tick after tick stays mapped: one copy a row.
  const MappedUse mapped = WriteMappedFrameFile(path, fileSize, written, [&](uint8_t* bytes) {
    std::memcpy(bytes, header.data(), header.size());
    uint8_t* row = bytes + kBmpHeaderSize;
    for (int r = picture.rows - 1; r >= 0; --r, row += stride) {
      std::memcpy(row, picture.ptr<uint8_t>(r), rowBytes);
      if (padBytes) std::memcpy(row + rowBytes, kZeroPad, padBytes);
    }
  });
  if (mapped != MappedUse::NotMapped) return mapped == MappedUse::Done;

  // The rows go out straight from the picture, last row first: no copy of
  // the frame is made on the way to the file.
  std::vector<iovec> parts;
  parts.reserve(1 + static_cast<size_t>(picture.rows) * (padBytes ? 2 : 1));
  parts.push_back({header.data(), header.size()});
  for (int r = picture.rows - 1; r >= 0; --r) {
    parts.push_back({const_cast<uint8_t*>(picture.ptr<uint8_t>(r)), rowBytes});
    if (padBytes) parts.push_back({const_cast<uint8_t*>(kZeroPad), padBytes});
  }

  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAllAt(fd, parts);
  // A smaller frame must not leave the tail of a larger one behind.
  if (ok) ok = ftruncate(fd, static_cast<off_t>(fileSize)) == 0;
  if (ok && written) ok = fstat(fd, written) == 0;
  if (close(fd) != 0) ok = false;
  return ok;
}
