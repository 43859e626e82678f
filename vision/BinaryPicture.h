#pragma once
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

// A black-and-white picture at one bit a pixel. After binarisation every
// step of the detector (the openings, the comparison, the count) works on
// pictures that hold only 0 and 255; at a bit a pixel a full-HD picture is
// 256 KiB instead of 2 MiB, so those steps stay in the cache and do 64
// pixels an operation. Each step gives exactly what OpenCV gives on the
// 0-or-255 picture. Bit x of a row is bit x % 64 of its word x / 64; bits
// past the width are kept zero.
class BinaryPicture {
public:
  cv::Size Size() const { return {width_, height_}; }
  bool Empty() const { return words_.empty(); }

  // Bit = grey pixel above `level` (OpenCV's binary threshold).
  void Threshold(const cv::Mat& grey, int level);
  // Bit = the low bit of each byte: what a count of low bits sees.
  void LowBits(const cv::Mat& bytes);
  // Erosion, then dilation, each over the square of `reach` + 1 pixels
  // that starts at the pixel and runs right and down, the picture's edge
  // repeated beyond it: OpenCV's erode and dilate with a rectangle
  // anchored at its top-left cell and BORDER_REPLICATE.
  void Open(int reach);
  void Xor(const BinaryPicture& a, const BinaryPicture& b);
  void And(const BinaryPicture& mask);
  int64_t Count() const;
  // 255 for a set bit, 0 otherwise; `bytes` is reused when nobody shares it.
  void ToBytes(cv::Mat& bytes) const;

private:
  void Resize(int width, int height);
  uint64_t* Row(int y) { return words_.data() + static_cast<size_t>(y) * wordsPerRow_; }
  const uint64_t* Row(int y) const { return words_.data() + static_cast<size_t>(y) * wordsPerRow_; }
  template <class Op> void AlongRows(int reach, Op op);
  template <class Op> void AlongColumns(int reach, Op op);
  uint64_t LastWordBits() const;

  int width_ = 0;
  int height_ = 0;
  int wordsPerRow_ = 0;
  std::vector<uint64_t> words_;
  std::vector<uint64_t> rowCopy_;  // AlongRows' working row
};
