#include "vision/OtsuThreshold.h"

#include <algorithm>
#include <cfloat>
#include <cstring>

namespace {
constexpr int kLevels = 256;
// One table per byte of a load, so that equal neighbours (a picture is
// mostly equal neighbours) do not wait on each other's increment.
constexpr int kTables = 8;
// The tables are not a multiple of 4 KiB apart: counters of one grey level
// in different tables would otherwise look like the same address to the
// processor and wait on each other.
constexpr int kTableSpacing = kLevels + 16;
}  // namespace

void CountGreyLevels(const cv::Mat& grey, GreyHistogram& histogram) {
  CV_Assert(grey.type() == CV_8UC1);
  uint32_t tables[kTables][kTableSpacing] = {};
  const int rows = grey.isContinuous() ? 1 : grey.rows;
  const size_t cols = static_cast<size_t>(grey.cols) * (grey.isContinuous() ? grey.rows : 1);
  for (int r = 0; r < rows; ++r) {
    const uint8_t* row = grey.ptr<uint8_t>(r);
    size_t c = 0;
    for (; c + 8 <= cols; c += 8) {
      uint64_t eight;
      std::memcpy(&eight, row + c, sizeof eight);
      ++tables[0][eight & 0xff];
      ++tables[1][(eight >> 8) & 0xff];
      ++tables[2][(eight >> 16) & 0xff];
      ++tables[3][(eight >> 24) & 0xff];
      ++tables[4][(eight >> 32) & 0xff];
      ++tables[5][(eight >> 40) & 0xff];
      ++tables[6][(eight >> 48) & 0xff];
      ++tables[7][eight >> 56];
    }
    for (; c < cols; ++c) ++tables[0][row[c]];
  }
  for (int i = 0; i < kLevels; ++i) {
    uint32_t sum = 0;
    for (int t = 0; t < kTables; ++t) sum += tables[t][i];
    histogram[i] = sum;
  }
}

int OtsuLevel(const GreyHistogram& histogram, uint64_t pixels) {
  if (pixels == 0) return 0;
  const double scale = 1.0 / static_cast<double>(pixels);
  double mu = 0;
  for (int i = 0; i < kLevels; ++i) mu += i * static_cast<double>(histogram[i]);
  mu *= scale;

  double mu1 = 0, q1 = 0;
  double maxSigma = 0;
  int level = 0;
  for (int i = 0; i < kLevels; ++i) {
    const double p = histogram[i] * scale;
    mu1 *= q1;
    q1 += p;
    const double q2 = 1.0 - q1;
    if (std::min(q1, q2) < FLT_EPSILON || std::max(q1, q2) > 1.0 - FLT_EPSILON) continue;
    mu1 = (mu1 + i * p) / q1;
    const double mu2 = (mu - q1 * mu1) / q2;
    const double sigma = q1 * q2 * (mu1 - mu2) * (mu1 - mu2);
    if (sigma > maxSigma) {
      maxSigma = sigma;
      level = i;
    }
  }
  return level;
}

int OtsuThreshold(const cv::Mat& grey) {
  GreyHistogram histogram;
  CountGreyLevels(grey, histogram);
  return OtsuLevel(histogram, static_cast<uint64_t>(grey.rows) * static_cast<uint64_t>(grey.cols));
}
