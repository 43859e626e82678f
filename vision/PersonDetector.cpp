#include "vision/PersonDetector.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "platform/OpenCvModule.h"
#include "vision/PictureContrast.h"

namespace {
const cv::Size kHogWindow(64, 128);
const cv::Size kHogStride(8, 8);
// Found windows must overlap this many times to be a person, OpenCV's own
// default: a lone window is mostly texture.
constexpr int kHogGroupThreshold = 2;
// A window holds a person with an eighth of its height free above and
// below: as much is added beyond a frame edge the area meets.
constexpr int kEdgeMarginDivisor = 8;

struct SearchArea {
  cv::Rect box;
  int tallestRegion = 0;  // the tallest region inside, to scale by
};

cv::Rect Padded(const MotionRegion& r, cv::Size frame) {
  const int reach = std::max(r.height, kSmallestPersonPx);
  const int side = std::max(r.width, reach / 2) + kPersonSearchMarginPx;
  const int upDown = reach + kPersonSearchMarginPx;
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

bool TouchesRegion(const cv::Rect& box, const MotionRegions& regions) {
  for (const MotionRegion& r : regions) {
    if (!(box & cv::Rect(r.x, r.y, r.width, r.height)).empty()) return true;
  }
  return false;
}

class HogPersonDetector : public IPersonDetector {
public:
  explicit HogPersonDetector(const PersonSearch& search)
      : search_(search), hog_(OpenCv().MakePeopleDetector()) {}

  // A frame it cannot look at, or a failure in OpenCV, is no person here;
  // Check tells them apart.
  std::optional<cv::Rect> Find(const cv::Mat& frame, const MotionRegions& regions) override {
    const PersonVerdict verdict = Check(frame, regions);
    if (verdict.answer != PersonAnswer::Found) return std::nullopt;
    return verdict.person.box;
  }

  // Nothing from OpenCV leaves the check: its failures (and a failed
  // allocation) answer Unknown with OpenCV's own words.
  PersonVerdict Check(const cv::Mat& frame, const MotionRegions& regions) override {
    if (std::string problem = PersonPictureProblem(frame); !problem.empty())
      return {PersonAnswer::Unknown, {}, std::move(problem)};
    try {
      for (const PersonSearchStep& step : PlanPersonSearch(regions, frame.size(), search_)) {
        if (auto box = Search(frame, step, regions)) return {PersonAnswer::Found, {cv::Mat(), *box, 0}, ""};
      }
    } catch (const std::exception& e) {
      return {PersonAnswer::Unknown, {}, std::string("人物の検出でエラーが起きました：") + e.what()};
    }
    return {};
  }

private:
  std::optional<cv::Rect> Search(const cv::Mat& frame, const PersonSearchStep& step, const MotionRegions& regions) {
    const cv::Size inner(step.searched.width - step.left - step.right, step.searched.height - step.top - step.bottom);
    NormalisedBrightness(frame(step.box), area_);
    cv::resize(area_, scaled_, inner, 0, 0, step.scale > 1.0 ? cv::INTER_LINEAR : cv::INTER_AREA);
    // A person the frame's edge cuts (feet at the bottom, a shoulder at
    // the side) lacks the margin the window was trained with: the picture
    // is mirrored beyond the edge. (Repeating the edge's pixels instead
    // draws vertical streaks that the detector takes for legs.)
    if (step.searched != inner) {
      cv::copyMakeBorder(scaled_, bordered_, step.top, step.bottom, step.left, step.right, cv::BORDER_REFLECT_101);
      cv::swap(scaled_, bordered_);
    }
    found_.clear();
    weights_.clear();
    hog_->DetectMultiScale(scaled_, found_, weights_, 0.0, kHogStride, cv::Size(0, 0), search_.pyramidStep,
                           kHogGroupThreshold);
    std::optional<cv::Rect> best;
    double bestScore = search_.minScore;
    for (size_t i = 0; i < found_.size(); ++i) {
      const double score = i < weights_.size() ? weights_[i] : 0.0;
      if (score < bestScore) continue;
      const cv::Rect& f = found_[i];
      const cv::Rect inFrame =
          cv::Rect(step.box.x + static_cast<int>((f.x - step.left) / step.scale),
                   step.box.y + static_cast<int>((f.y - step.top) / step.scale), static_cast<int>(f.width / step.scale),
                   static_cast<int>(f.height / step.scale)) &
          cv::Rect(cv::Point(0, 0), frame.size());
      // Someone standing still beside what moved (a poster, a statue) is
      // not what raised the motion.
      if (inFrame.empty() || !TouchesRegion(inFrame, regions)) continue;
      best = inFrame;
      bestScore = score;
    }
    return best;
  }

  PersonSearch search_;
  std::unique_ptr<IPeopleDetector> hog_;
  cv::Mat area_;
  cv::Mat scaled_;
  cv::Mat bordered_;
  std::vector<cv::Rect> found_;
  std::vector<double> weights_;
};
} // namespace

std::vector<PersonSearchStep> PlanPersonSearch(const MotionRegions& regions, cv::Size frame,
                                               const PersonSearch& search) {
  std::vector<PersonSearchStep> steps;
  double budget = search.maxSearchPixels;
  for (const SearchArea& area : SearchAreas(regions, frame)) {
    PersonSearchStep step;
    step.scale = std::clamp(static_cast<double>(kPersonHeightAtOwnSize) / std::max(1, area.tallestRegion), 1.0,
                            search.maxScaleUp);
    step.box = AtLeastOneWindow(area.box, step.scale, frame);
    // What the margins beyond the frame's edges add is paid from the
    // budget as well: the scale is fitted to the whole.
    const double wFactor = 1.0 + ((step.box.x == 0) + (step.box.br().x == frame.width)) / double(kEdgeMarginDivisor);
    const double hFactor = 1.0 + ((step.box.y == 0) + (step.box.br().y == frame.height)) / double(kEdgeMarginDivisor);
    step.scale = std::min(step.scale, std::sqrt(budget / (step.box.area() * wFactor * hFactor)));
    const cv::Size inner(static_cast<int>(step.box.width * step.scale), static_cast<int>(step.box.height * step.scale));
    if (inner.width < kHogWindow.width || inner.height < kHogWindow.height) break;  // the budget is spent
    step.top = step.box.y == 0 ? inner.height / kEdgeMarginDivisor : 0;
    step.bottom = step.box.br().y == frame.height ? inner.height / kEdgeMarginDivisor : 0;
    step.left = step.box.x == 0 ? inner.width / kEdgeMarginDivisor : 0;
    step.right = step.box.br().x == frame.width ? inner.width / kEdgeMarginDivisor : 0;
    step.searched = cv::Size(inner.width + step.left + step.right, inner.height + step.top + step.bottom);
    budget -= step.searched.area();
    steps.push_back(step);
  }
  return steps;
}

std::unique_ptr<IPersonDetector> MakeHogPersonDetector(const PersonSearch& search, std::string* why) {
  try {
    return std::make_unique<HogPersonDetector>(search);
  } catch (const std::exception& e) {
    if (why) *why = std::string("人物の検出器を用意できません（OpenCV: ") + e.what() + "）。人物の確認なしで監視を続けます。";
    return nullptr;
  }
}
