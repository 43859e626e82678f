#include "vision/PictureContrast.h"

#include <algorithm>
#include <array>

#include <opencv2/imgproc.hpp>

namespace {
// The light problem is judged on a copy this wide: averaging pixels also
// averages the grain away, and it costs little.
constexpr int kLightSampleWidth = 160;

struct Levels {
  int low = 0, high = 0;  // a tail share up and down
};

Levels LevelsOf(const cv::Mat& grey, double tailShare) {
  std::array<int64_t, 256> counts{};
  for (int y = 0; y < grey.rows; ++y) {
    const uchar* row = grey.ptr<uchar>(y);
    for (int x = 0; x < grey.cols; ++x) ++counts[row[x]];
  }
  const auto total = static_cast<int64_t>(grey.total());
  const auto levelAt = [&](int64_t rank) {
    int level = 0;
    for (int64_t seen = counts[0]; level < 255 && seen <= rank;) seen += counts[++level];
    return level;
  };
  const auto tail = static_cast<int64_t>(total * tailShare);
  Levels levels{levelAt(tail), levelAt(total - 1 - tail)};
  levels.high = std::max(levels.low, levels.high);
  return levels;
}

void Brightness(const cv::Mat& picture, cv::Mat& out) {
  if (picture.channels() == 3)
    cv::cvtColor(picture, out, cv::COLOR_BGR2GRAY);
  else
    picture.copyTo(out);
}
} // namespace

std::string PictureLightProblem(const cv::Mat& frame) {
  if (frame.empty()) return "";
  cv::Mat small, grey;
  const double factor = std::min(1.0, static_cast<double>(kLightSampleWidth) / frame.cols);
  cv::resize(frame, small, cv::Size(), factor, factor, cv::INTER_AREA);
  Brightness(small, grey);
  const Levels levels = LevelsOf(grey, kLightTailShare);
  const int low = levels.low, high = levels.high;
  if (high < kDarkestUsableLevel)
    return "映像が暗すぎて人物を確認できません。夜間の照明か赤外線の設定を確認してください";
  if (high - low < kFlattestUsableSpread)
    return "映像のコントラストが低すぎて人物を確認できません。霧やレンズの汚れ、逆光がないか確認してください";
  return "";
}

// Colour would not help: at dusk the grain is strongest in the colours,
// and the detector takes the strongest channel's edges, grain and all.
void NormalisedBrightness(const cv::Mat& area, cv::Mat& out) {
  cv::Mat grey;
  Brightness(area, grey);
  const Levels levels = LevelsOf(grey, kContrastTailShare);
  const int low = levels.low, high = levels.high;
  cv::GaussianBlur(grey, out, cv::Size(3, 3), kGrainSigma);
  const double gain = std::min(kMaxContrastGain, 255.0 / std::max(1, high - low));
  // Stretched about the middle of the levels kept, so a gain held back by
  // kMaxContrastGain still lands them mid-range.
  const double centre = (low + high) / 2.0;
  out.convertTo(out, CV_8U, gain, 127.5 - centre * gain);
}
