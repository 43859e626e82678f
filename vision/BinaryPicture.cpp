#include "vision/BinaryPicture.h"

#include "capture/OwnBuffer.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
constexpr int kWordBits = 64;

// The widths of the steps that cover reach + 1 pixels by doubling:
// 1, 2, 3 for a reach of 6 (2, 4, then 7 pixels).
template <class Step> void ByDoubling(int reach, Step step) {
  for (int covered = 1; covered < reach + 1;) {
    const int shift = std::min(covered, reach + 1 - covered);
    step(shift);
    covered += shift;
  }
}

struct AndOp {
  uint64_t operator()(uint64_t a, uint64_t b) const { return a & b; }
#if defined(__SSE2__)
  __m128i operator()(__m128i a, __m128i b) const { return _mm_and_si128(a, b); }
#endif
};
struct OrOp {
  uint64_t operator()(uint64_t a, uint64_t b) const { return a | b; }
#if defined(__SSE2__)
  __m128i operator()(__m128i a, __m128i b) const { return _mm_or_si128(a, b); }
#endif
};

// 64 pixels of a grey row: a bit for each one above `level`.
uint64_t WordAbove(const uint8_t* pixels, int count, int level) {
  uint64_t word = 0;
  int i = 0;
#if defined(__SSE2__)
  // Unsigned "above" as a signed compare of values moved by 128.
  const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i limit = _mm_set1_epi8(static_cast<char>(level ^ 0x80));
  for (; i + 16 <= count; i += 16) {
    const __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + i)), flip);
    const uint32_t bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(v, limit)));
    word |= static_cast<uint64_t>(bits) << i;
  }
#endif
  for (; i < count; ++i) word |= static_cast<uint64_t>(pixels[i] > level) << i;
  return word;
}
} // namespace

void BinaryPicture::Resize(int width, int height) {
  width_ = width;
  height_ = height;
  wordsPerRow_ = (width + kWordBits - 1) / kWordBits;
  words_.resize(static_cast<size_t>(wordsPerRow_) * static_cast<size_t>(height));
}

uint64_t BinaryPicture::LastWordBits() const {
  const int used = width_ - (wordsPerRow_ - 1) * kWordBits;
  return used == kWordBits ? ~0ULL : (1ULL << used) - 1;
}

void BinaryPicture::Threshold(const cv::Mat& grey, int level) {
  CV_Assert(grey.type() == CV_8UC1);
  Resize(grey.cols, grey.rows);
  // Nothing is above 255; nothing is below 0 either, so all pass.
  const int clamped = std::clamp(level, -1, 255);
  for (int y = 0; y < height_; ++y) {
    const uint8_t* pixels = grey.ptr<uint8_t>(y);
    uint64_t* row = Row(y);
    for (int w = 0; w < wordsPerRow_; ++w) {
      const int count = std::min(kWordBits, width_ - w * kWordBits);
      if (clamped >= 255)
        row[w] = 0;
      else if (clamped < 0)
        row[w] = count == kWordBits ? ~0ULL : (1ULL << count) - 1;
      else
        row[w] = WordAbove(pixels + w * kWordBits, count, clamped);
    }
  }
}

void BinaryPicture::LowBits(const cv::Mat& bytes) {
  CV_Assert(bytes.type() == CV_8UC1);
  Resize(bytes.cols, bytes.rows);
  for (int y = 0; y < height_; ++y) {
    const uint8_t* pixels = bytes.ptr<uint8_t>(y);
    uint64_t* row = Row(y);
    for (int w = 0; w < wordsPerRow_; ++w) {
      const int count = std::min(kWordBits, width_ - w * kWordBits);
      uint64_t word = 0;
      for (int i = 0; i < count; ++i) word |= static_cast<uint64_t>(pixels[w * kWordBits + i] & 1) << i;
      row[w] = word;
    }
  }
}

// Each pixel combined with the reach pixels to its right; past the last
// pixel its value repeats. A row is worked on in a copy that ends in one
// more word of that repeated value, so no step needs to look for the end.
template <class Op> void BinaryPicture::AlongRows(int reach, Op op) {
  const uint64_t used = LastWordBits();
  const int lastBit = (width_ - 1) % kWordBits;
  const int words = wordsPerRow_;
  rowCopy_.resize(static_cast<size_t>(words) + 1);
  uint64_t* const copy = rowCopy_.data();
  for (int y = 0; y < height_; ++y) {
    uint64_t* row = Row(y);
    std::memcpy(copy, row, sizeof(uint64_t) * words);
    // The last pixel keeps its value through every step: op(v, v) = v.
    const uint64_t edge = (copy[words - 1] >> lastBit) & 1 ? ~0ULL : 0;
    copy[words - 1] = (copy[words - 1] & used) | (edge & ~used);
    copy[words] = edge;
    ByDoubling(reach, [&](int shift) {
      int w = 0;
#if defined(__SSE2__)
      // Two words a step: both loads come before the store, so each word
      // is still combined with its right neighbour's previous value.
      const __m128i right = _mm_cvtsi32_si128(shift);
      const __m128i left = _mm_cvtsi32_si128(kWordBits - shift);
      for (; w + 2 <= words; w += 2) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(copy + w));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(copy + w + 1));
        const __m128i moved = _mm_or_si128(_mm_srl_epi64(here, right), _mm_sll_epi64(next, left));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(copy + w), op(here, moved));
      }
#endif
      for (; w < words; ++w)
        copy[w] = op(copy[w], (copy[w] >> shift) | (copy[w + 1] << (kWordBits - shift)));
    });
    std::memcpy(row, copy, sizeof(uint64_t) * words);
    row[words - 1] &= used;
  }
}

// Each pixel combined with the reach pixels below it; past the last row
// its value repeats. Rows are updated top-down, so each reads rows below
// that still hold the previous step's values.
template <class Op> void BinaryPicture::AlongColumns(int reach, Op op) {
  const size_t words = static_cast<size_t>(wordsPerRow_);
  ByDoubling(reach, [&](int shift) {
    for (int y = 0; y + 1 < height_; ++y) {
      uint64_t* __restrict row = Row(y);
      const uint64_t* __restrict below = Row(std::min(y + shift, height_ - 1));
      size_t w = 0;
#if defined(__SSE2__)
      for (; w + 2 <= words; w += 2) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + w));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + w));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + w), op(a, b));
      }
#endif
      for (; w < words; ++w) row[w] = op(row[w], below[w]);
    }
  });
}

void BinaryPicture::Open(int reach) {
  if (Empty() || reach <= 0) return;
  AlongRows(reach, AndOp{});
  AlongColumns(reach, AndOp{});
  AlongRows(reach, OrOp{});
  AlongColumns(reach, OrOp{});
}

void BinaryPicture::Xor(const BinaryPicture& a, const BinaryPicture& b) {
  CV_Assert(a.Size() == b.Size());
  Resize(a.width_, a.height_);
  for (size_t i = 0; i < words_.size(); ++i) words_[i] = a.words_[i] ^ b.words_[i];
}

void BinaryPicture::And(const BinaryPicture& mask) {
  CV_Assert(mask.Size() == Size());
  for (size_t i = 0; i < words_.size(); ++i) words_[i] &= mask.words_[i];
}

// Bits counted in the word itself (the library's count is a call per word
// on processors without a count instruction).
int64_t BinaryPicture::Count() const {
  constexpr uint64_t kOdd = 0x5555555555555555ULL, kPairs = 0x3333333333333333ULL;
  constexpr uint64_t kNibbles = 0x0f0f0f0f0f0f0f0fULL, kBytes = 0x0101010101010101ULL;
  int64_t count = 0;
  for (uint64_t word : words_) {
    word -= (word >> 1) & kOdd;
    word = (word & kPairs) + ((word >> 2) & kPairs);
    word = (word + (word >> 4)) & kNibbles;
    count += static_cast<int64_t>((word * kBytes) >> 56);
  }
  return count;
}

void BinaryPicture::ToBytes(cv::Mat& bytes) const {
  UseOwnBuffer(bytes, Size(), CV_8UC1);
  for (int y = 0; y < height_; ++y) {
    uint8_t* pixels = bytes.ptr<uint8_t>(y);
    const uint64_t* row = Row(y);
    for (int x = 0; x < width_; ++x)
      pixels[x] = static_cast<uint8_t>(-static_cast<int>((row[x / kWordBits] >> (x % kWordBits)) & 1));
  }
}
