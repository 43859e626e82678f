#include "vision/PictureContrast.h"

#include <algorithm>
#include <array>

#include <opencv2/imgproc.hpp>

namespace {
// The light problem is judged on a copy this wide: averaging pixels also
// averages the grain away, and it costs little.
constexpr int kLightSampleWidth = 160;

// The levels below which kContrastTailShare of the pixels lie, and above.
std::pair<int, int> TailLevels(const cv::Mat& grey) {
  std::array<int, 256> counts{};
  for (int y = 0; y < grey.rows; ++y) {
    const uchar* row = grey.ptr<uchar>(y);
    for (int x = 0; x < grey.cols; ++x) ++counts[row[x]];
  }
  const int tail = static_cast<int>(grey.total() * kContrastTailShare);
  int low = 0, high = 255;
  for (int seen = 0; low < 255 && (seen += counts[low]) <= tail;) ++low;
  for (int seen = 0; high > 0 && (seen += counts[high]) <= tail;) --high;
  return {low, std::max(low, high)};
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
  const auto [low, high] = TailLevels(grey);
  if (high < kDarkestUsableLevel)
    return "映像が暗すぎて人物を確認できません。夜間の照明か赤外線の設定を確認してください";
  if (high - low < kFlattestUsableSpread)
    return "映像のコントラストが低すぎて人物を確認できません。霧やレンズの汚れ、逆光がないか確認してください";
  return "";
}

// Colour would not help: at dusk the grain is strongest in the colours,
// and the detector takes the strongest channel's edges, grain and all.
void NormalisedBrightness(const cv::Mat& area, cv::Mat& out) {
  Brightness(area, out);
  cv::GaussianBlur(out, out, cv::Size(3, 3), kGrainSigma);
  const auto [low, high] = TailLevels(out);
  const double gain = std::min(kMaxContrastGain, 255.0 / std::max(1, high - low));
  // Stretched about the middle of the levels kept, so a gain held back by
  // kMaxContrastGain still lands them mid-range.
  const double middle = (low + high) / 2.0;
  out.convertTo(out, CV_8U, gain, 127.5 - middle * gain);
}
