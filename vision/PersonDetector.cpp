#include "vision/PersonDetector.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

namespace {
const cv::Size kHogWindow(64, 128);
const cv::Size kHogStride(8, 8);
// Found windows must overlap this many times to be a person, OpenCV's own
// default: a lone window is mostly texture.
constexpr int kHogGroupThreshold = 2;

struct SearchArea {
  cv::Rect box;
  int tallestRegion = 0;  // the tallest region inside, to scale by
};

cv::Rect Padded(const MotionRegion& r, cv::Size frame) {
  const int side = std::max(r.width, r.height / 2) + kPersonSearchMarginPx;
  const int upDown = r.height / 2 + kPersonSearchMarginPx;
  const cv::Rect padded(r.x - side, r.y - upDown, r.width + 2 * side, r.height + 2 * upDown);
  return padded & cv::Rect(cv::Point(0, 0), frame);
}

std::vector<SearchArea> SearchAreas(const MotionRegions& regions, cv::Size frame) {
  std::vector<SearchArea> areas;
  for (const MotionRegion& r : regions) {
    const cv::Rect box = Padded(r, frame);
    if (box.empty()) continue;
    areas.push_back({box, r.height});
  }
  // Merged until no two overlap: one person is searched once, however
  // many pieces of them changed.
  for (bool merged = true; merged;) {
    merged = false;
    for (size_t i = 0; i < areas.size() && !merged; ++i) {
      for (size_t j = i + 1; j < areas.size(); ++j) {
        if ((areas[i].box & areas[j].box).empty()) continue;
        areas[i].box |= areas[j].box;
        areas[i].tallestRegion = std::max(areas[i].tallestRegion, areas[j].tallestRegion);
        areas.erase(areas.begin() + static_cast<std::ptrdiff_t>(j));
        merged = true;
        break;
      }
    }
  }
  std::stable_sort(areas.begin(), areas.end(),
                   [](const SearchArea& a, const SearchArea& b) { return a.box.area() > b.box.area(); });
  return areas;
}

bool TouchesRegion(const cv::Rect& box, const MotionRegions& regions) {
  for (const MotionRegion& r : regions) {
    if (!(box & cv::Rect(r.x, r.y, r.width, r.height)).empty()) return true;
  }
  return false;
}

// An area at least one window large at `scale`, grown about its centre
// where the frame allows.
cv::Rect AtLeastOneWindow(cv::Rect box, double scale, cv::Size frame) {
  const int w = static_cast<int>(std::ceil(kHogWindow.width / scale));
  const int h = static_cast<int>(std::ceil(kHogWindow.height / scale));
  if (box.width < w) {
    box.x -= (w - box.width) / 2;
    box.width = w;
  }
  if (box.height < h) {
    box.y -= (h - box.height) / 2;
    box.height = h;
  }
  box.x = std::clamp(box.x, 0, std::max(0, frame.width - box.width));
  box.y = std::clamp(box.y, 0, std::max(0, frame.height - box.height));
  return box & cv::Rect(cv::Point(0, 0), frame);
}

class HogPersonDetector : public IPersonDetector {
public:
  explicit HogPersonDetector(const PersonSearch& search) : search_(search) {
    hog_.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
  }

  std::optional<cv::Rect> Find(const cv::Mat& frame, const MotionRegions& regions) override {
    // A bad frame is no person; nothing from OpenCV leaves the check.
    if (frame.empty() || frame.depth() != CV_8U || (frame.channels() != 3 && frame.channels() != 1)) {
      return std::nullopt;
    }
    try {
      return Search(frame, regions);
    } catch (const cv::Exception&) {
      return std::nullopt;
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
  }

private:
  std::optional<cv::Rect> Search(const cv::Mat& frame, const MotionRegions& regions) {
    double budget = search_.maxSearchPixels;
    const double windowPixels = kHogWindow.area();
    for (const SearchArea& area : SearchAreas(regions, frame.size())) {
      if (budget < windowPixels) break;
      double scale = std::clamp(static_cast<double>(kPersonHeightAtOwnSize) / std::max(1, area.tallestRegion),
                                1.0, search_.maxScaleUp);
      const cv::Rect box = AtLeastOneWindow(area.box, scale, frame.size());
      scale = std::min(scale, std::sqrt(budget / box.area()));
      const cv::Size scaled(static_cast<int>(box.width * scale), static_cast<int>(box.height * scale));
      if (scaled.width < kHogWindow.width || scaled.height < kHogWindow.height) continue;
      cv::resize(frame(box), scaled_, scaled, 0, 0, scale > 1.0 ? cv::INTER_LINEAR : cv::INTER_AREA);
      budget -= scaled.area();
      found_.clear();
      weights_.clear();
      hog_.detectMultiScale(scaled_, found_, weights_, 0.0, kHogStride, cv::Size(0, 0),
                            search_.pyramidStep, kHogGroupThreshold);
      std::optional<cv::Rect> best;
      double bestScore = search_.minScore;
      for (size_t i = 0; i < found_.size(); ++i) {
        const double score = i < weights_.size() ? weights_[i] : 0.0;
        if (score < bestScore) continue;
        const cv::Rect& f = found_[i];
        const cv::Rect inFrame(box.x + static_cast<int>(f.x / scale), box.y + static_cast<int>(f.y / scale),
                               static_cast<int>(f.width / scale), static_cast<int>(f.height / scale));
        // Someone standing still beside what moved (a poster, a statue)
        // is not what raised the motion.
        if (!TouchesRegion(inFrame, regions)) continue;
        best = inFrame & cv::Rect(cv::Point(0, 0), frame.size());
        bestScore = score;
      }
      if (best) return best;
    }
    return std::nullopt;
  }

  PersonSearch search_;
  cv::HOGDescriptor hog_;
  cv::Mat scaled_;
  std::vector<cv::Rect> found_;
  std::vector<double> weights_;
};
} // namespace

std::vector<cv::Rect> PersonSearchAreas(const MotionRegions& regions, cv::Size frame) {
  std::vector<cv::Rect> boxes;
  for (const SearchArea& area : SearchAreas(regions, frame)) boxes.push_back(area.box);
  return boxes;
}

std::unique_ptr<IPersonDetector> MakeHogPersonDetector(const PersonSearch& search, std::string* why) {
  try {
    return std::make_unique<HogPersonDetector>(search);
  } catch (const std::exception& e) {
    if (why) *why = std::string("人物の検出器を用意できません（OpenCV: ") + e.what() + "）。人物の確認なしで監視を続けます。";
    return nullptr;
  }
}
