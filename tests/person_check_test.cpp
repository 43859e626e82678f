#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <atomic>
#include <cmath>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "vision/Nsopencv.h"
#include "vision/PersonCheck.h"
#include "vision/PersonDetector.h"

namespace {
// Debian's opencv-doc puts OpenCV's sample pictures and clips here.
const std::string kSamples = "/usr/share/doc/opencv-doc/examples/data/";
constexpr int kWaitMs = 5000;

enum class Look { AsIs, Dark, Noisy, Half, Larger, Mirrored, Dusk };

cv::Mat Varied(const cv::Mat& in, Look look) {
  cv::Mat out = in.clone();
  if (look == Look::Dark) in.convertTo(out, -1, 0.35);
  if (look == Look::Half) cv::resize(in, out, {}, 0.5, 0.5, cv::INTER_AREA);
  if (look == Look::Larger) cv::resize(in, out, {}, 1.5, 1.5);
  if (look == Look::Mirrored) cv::flip(in, out, 1);
  if (look == Look::Noisy) {
    cv::Mat noise(in.size(), in.type());
    cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(12));
    out = in + noise;  // saturating, never wrapping
  }
  if (look == Look::Dusk) {
    // Dark with a low gamma, and grain of its own in every colour.
    cv::Mat levels(1, 256, CV_8U);
    for (int i = 0; i < 256; ++i) levels.at<uchar>(i) = cv::saturate_cast<uchar>(220 * std::pow(i / 255.0, 1.8));
    cv::Mat dark, grain(in.size(), CV_16SC3);
    cv::LUT(in, levels, dark);
    cv::randn(grain, cv::Scalar::all(0), cv::Scalar::all(12));
    dark.convertTo(dark, CV_16SC3);
    cv::Mat(dark + grain).convertTo(out, CV_8UC3);
  }
  return out;
}

// Frames of a clip's first kClipFrames in which the detector found motion
// (Otsu, the previous frame), with their regions: every kCheckEvery-th.
constexpr int kClipFrames = 150;
constexpr int kCheckEvery = 10;
std::vector<std::pair<cv::Mat, MotionRegions>> MovedFrames(const std::string& clip, Look look) {
  std::vector<std::pair<cv::Mat, MotionRegions>> out;
  TempDir dir;
  nsOpenCV vision("TEST");
  cv::VideoCapture video(clip);
  int moved = 0;
  cv::Mat frame;
  for (int i = 0; i < kClipFrames && video.read(frame); ++i) {
    const cv::Mat shown = Varied(frame, look);
    cv::imwrite(dir.File("f.bmp"), shown);
    vision.LoadFrame(dir.File("f.bmp"));
    vision.ConvertToGrey();
    vision.Binarize(-1);
    vision.DetectMotion(0);
    MotionRegions regions = vision.MotionRegions(kMaxReportedRegions);
    if (!regions.empty() && moved++ % kCheckEvery == 0) out.emplace_back(shown, std::move(regions));
  }
  return out;
}
} // namespace

TEST(PersonDetector, SampleFootageAndPhotographs) {
  cv::setNumThreads(1);
  std::string why;
  auto detector = MakePersonDetector(&why);
  ASSERT_TRUE(detector) << why;
  struct Row {
    const char* file;
    Look look;
    cv::Rect2d region;  // of the picture's size; empty: the clip's own motion
    double leastFound;  // share of the checks; 0: nobody there, none may find one
  };
  const cv::Rect2d whole(0, 0, 1, 1);
  const cv::Rect2d leftPlayer(0.05, 0.15, 0.2, 0.8);  // the man catching the ball
  const Row rows[] = {
      {"basketball1.png", Look::AsIs, whole, 1},         {"basketball1.png", Look::Dark, leftPlayer, 1},
      {"basketball1.png", Look::Half, leftPlayer, 1},    {"basketball1.png", Look::Mirrored, whole, 1},
      {"basketball2.png", Look::Larger, whole, 1},       {"fruits.jpg", Look::AsIs, whole, 0},
      {"building.jpg", Look::Dark, whole, 0},            {"baboon.jpg", Look::Noisy, whole, 0},
      {"graf1.png", Look::Mirrored, whole, 0},           {"box_in_scene.png", Look::Half, whole, 0},
      {"home.jpg", Look::Larger, whole, 0},              {"tree.avi", Look::AsIs, {}, 0},
      {"tree.avi", Look::Dark, {}, 0},                   {"tree.avi", Look::Larger, {}, 0},
      {"tree.avi", Look::Mirrored, {}, 0},               {"vtest.avi", Look::AsIs, {}, 0.7},
      {"vtest.avi", Look::Noisy, {}, 0.4},       {"vtest.avi", Look::Dusk, {}, 0.4},
      {"tree.avi", Look::Dusk, {}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " look " + std::to_string(static_cast<int>(row.look)));
    const std::string path = kSamples + row.file;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is missing: install Debian's opencv-doc";
    std::vector<std::pair<cv::Mat, MotionRegions>> cases;
    if (row.region.empty()) {
      cases = MovedFrames(path, row.look);
    } else {
      const cv::Mat picture = Varied(cv::imread(path, cv::IMREAD_COLOR), row.look);
      const cv::Rect2d& r = row.region;
      const cv::Rect box(cv::Point(r.x * picture.cols, r.y * picture.rows),
                         cv::Size(r.width * picture.cols, r.height * picture.rows));
      cases.emplace_back(picture, MotionRegions{{box.x, box.y, box.width, box.height, box.area()}});
    }
    ASSERT_FALSE(cases.empty());
    int found = 0;
    for (const auto& [frame, regions] : cases) {
      const auto box = detector->Find(frame, regions);
      if (!box) continue;
      ++found;
      EXPECT_EQ(*box & cv::Rect(cv::Point(0, 0), frame.size()), *box);
    }
    if (row.leastFound == 0) {
      EXPECT_EQ(found, 0);
    }
    EXPECT_GE(found, row.leastFound * cases.size()) << found << " of " << cases.size();
  }
}

TEST(PersonDetector, SearchPlanAndBadFrames) {
  const cv::Size frame(640, 480);
  // Two pieces of one person give one area, scaled up as far as allowed; a
  // piece far away gets its own, clipped to the frame and given margins.
  const auto steps = PlanPersonSearch({{100, 100, 10, 20, 200}, {104, 130, 10, 20, 200}, {600, 440, 8, 8, 64}}, frame);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_TRUE(steps[0].box.contains({100, 100}) && steps[0].box.contains({113, 149}));
  EXPECT_GE(steps[0].box.height, 50 + 2 * kSmallestPersonPx);
  EXPECT_EQ(steps[0].scale, kMaxPersonScaleUp);
  EXPECT_EQ(steps[1].box.br(), cv::Point(640, 480));
  EXPECT_GT(steps[1].bottom, 0);
  EXPECT_GT(steps[1].right, 0);
  // A tall region is searched at its own size; one as large as a 4K
  // picture within the budget.
  EXPECT_EQ(PlanPersonSearch({{300, 150, 40, 100, 3000}}, frame).at(0).scale, 1.0);
  const auto huge = PlanPersonSearch({{0, 0, 3840, 2160, 3840 * 2160}}, {3840, 2160});
  ASSERT_EQ(huge.size(), 1u);
  EXPECT_LE(huge[0].searched.area(), kMaxPersonSearchPixels);
  EXPECT_GT(huge[0].searched.area(), kMaxPersonSearchPixels * 0.9);

  auto detector = MakePersonDetector(nullptr);
  for (const cv::Mat& bad : {cv::Mat(), cv::Mat(480, 640, CV_32FC3), cv::Mat(10, 10, CV_8UC3)}) {
    EXPECT_FALSE(detector->Find(bad, {{0, 0, 640, 480, 1}}));
  }
  EXPECT_FALSE(detector->Find(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(0)), {}));
}

namespace {
class CallDetector : public IPersonDetector {
public:
  explicit CallDetector(std::function<std::optional<cv::Rect>(int64_t)> check) : check_(std::move(check)) {}
  std::optional<cv::Rect> Find(const cv::Mat&, const MotionRegions& r) override { return check_(r.at(0).pixels); }

private:
  std::function<std::optional<cv::Rect>(int64_t)> check_;
};

// The candidate's id is its first region's pixel count. A check notes the
// id and its time, lasts checkMs or while held, throws for a negative id
// (no standard exception for kThrowsOther) and finds a person for an even one.
class WorkerTest : public ::testing::Test {
protected:
  std::optional<cv::Rect> Check(int64_t id) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      asked_.push_back(id);
      times_.push_back(std::chrono::steady_clock::now());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(checkMs_.load()));
    while (hold_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (id == kThrowsOther) throw kThrowsOther;
    if (id < 0) throw std::runtime_error("a broken check");
    return id % 2 == 0 ? std::optional<cv::Rect>(cv::Rect(0, 0, 1, 1)) : std::nullopt;
  }
  // A quicker rate where the number of checks matters, not their pace.
  void Start(int rate = kMaxPersonChecksPerSecond) {
    worker_ = std::make_unique<PersonCheckWorker>(
        std::make_unique<CallDetector>([this](int64_t id) { return Check(id); }), rate);
  }
  void Submit(int64_t id, cv::Mat frame = cv::Mat(4, 4, CV_8UC3)) {
    worker_->Submit({std::move(frame), {{0, 0, 1, 1, id}}, uint32_t(id)});
  }
  bool AskedCount(size_t n) { return WaitFor(kWaitMs, [&] { return Asked().size() >= n; }); }
  std::vector<int64_t> Asked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
  }

  static constexpr int kQuickRate = 100;
  static constexpr int64_t kThrowsOther = -3;
  std::mutex mutex_;
  std::vector<int64_t> asked_;
  std::vector<std::chrono::steady_clock::time_point> times_;
  std::atomic<bool> hold_{false};
  std::atomic<int> checkMs_{0};
  std::unique_ptr<PersonCheckWorker> worker_;  // last: stopped before the rest goes
};
} // namespace

TEST_F(WorkerTest, NewestCandidateWinsAtTheRateLimit) {
  Start();
  hold_ = true;
  Submit(2);
  ASSERT_TRUE(AskedCount(1));
  for (int64_t id : {3, 5, 4}) Submit(id);  // 3 and 5 are replaced before a check takes them
  hold_ = false;
  ASSERT_TRUE(AskedCount(2));
  ASSERT_TRUE(WaitFor(kWaitMs, [&] { return worker_->ChecksRun() == 2; }));
  EXPECT_EQ(Asked(), (std::vector<int64_t>{2, 4}));
  EXPECT_GE(times_[1] - times_[0], std::chrono::milliseconds(1000 / kMaxPersonChecksPerSecond));
  // Found in order, each with its frame time.
  EXPECT_EQ(worker_->TakeFound()->frameTimeMs, 2u);
  EXPECT_EQ(worker_->TakeFound()->frameTimeMs, 4u);
  EXPECT_FALSE(worker_->TakeFound());
}

TEST_F(WorkerTest, ClearDropsWaitingFoundAndTheCheckUnderWay) {
  Start(kQuickRate);
  hold_ = true;
  Submit(2);
  ASSERT_TRUE(AskedCount(1));
  Submit(4);
  worker_->Clear();
  hold_ = false;
  ASSERT_TRUE(WaitFor(kWaitMs, [&] { return worker_->ChecksRun() == 1; }));
  EXPECT_FALSE(worker_->TakeFound());
  Submit(-1);  // a check that throws: the worker goes on
  ASSERT_TRUE(AskedCount(2));
  Submit(6);
  ASSERT_TRUE(WaitFor(kWaitMs, [&] { return worker_->TakeFound().has_value(); }));
  EXPECT_EQ(Asked(), (std::vector<int64_t>{2, -1, 6}));
}

TEST_F(WorkerTest, KeepsAtMostTheNewestFoundAndStopsWithinOneCheck) {
  Start(kQuickRate);
  for (int64_t id = 0; id < static_cast<int64_t>(kMaxPersonsKept) + 2; ++id) {
    Submit(2 * id);
    ASSERT_TRUE(AskedCount(id + 1));
  }
  ASSERT_TRUE(WaitFor(kWaitMs, [&] { return worker_->ChecksRun() == kMaxPersonsKept + 2; }));
  EXPECT_EQ(worker_->TakeFound()->frameTimeMs, 4u);  // 0 and 2 made way

  constexpr int kSlowCheckMs = 400;
  checkMs_ = kSlowCheckMs;
  Submit(1000);
  ASSERT_TRUE(AskedCount(kMaxPersonsKept + 3));
  Submit(1002);
  const auto start = std::chrono::steady_clock::now();
  worker_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kSlowCheckMs + 200));
  EXPECT_EQ(Asked().back(), 1000);  // the waiting one was dropped
  EXPECT_LT(worker_->CheckCpuMs(), kSlowCheckMs / 2);  // processor time, not the time waited
  Submit(1004);                   // after Stop: ignored, no crash
  PersonCheckWorker none(nullptr);  // no detector: nothing checked, nothing found
  none.Submit({});
  EXPECT_FALSE(none.TakeFound());
}

// Every check leaves one verdict; one that could not look is Unknown with
// why, never nobody, and the worker goes on.
TEST_F(WorkerTest, EachCheckLeavesFoundNobodyOrUnknownWithWhy) {
  struct Row {
    int64_t id;
    cv::Mat frame;
    PersonAnswer answer;
    std::string why;
  };
  const cv::Mat colour(4, 4, CV_8UC3);
  const Row rows[] = {
      {2, colour, PersonAnswer::Found, ""},
      {3, colour, PersonAnswer::Nobody, ""},
      {-1, colour, PersonAnswer::Unknown, "人物の検出でエラーが起きました：a broken check"},
      {kThrowsOther, colour, PersonAnswer::Unknown, "人物の検出で原因の分からないエラーが起きました"},
      {5, cv::Mat(), PersonAnswer::Unknown, "確認する画像がありませんでした"},
      {7, cv::Mat(4, 4, CV_32FC3), PersonAnswer::Unknown, "画像の形式を読み取れませんでした"},
  };
  Start(kQuickRate);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    Submit(row.id, row.frame);
    std::optional<PersonVerdict> verdict;
    ASSERT_TRUE(WaitFor(kWaitMs, [&] { return (verdict = worker_->TakeVerdict()).has_value(); }));
    EXPECT_EQ(verdict->answer, row.answer);
    EXPECT_EQ(verdict->why, row.why);
    EXPECT_EQ(verdict->person.frameTimeMs, uint32_t(row.id));
    EXPECT_EQ(verdict->person.frame.empty(), row.answer != PersonAnswer::Found) << "only a find keeps its frame";
  }
  EXPECT_FALSE(worker_->TakeVerdict());
}
