#include <functional>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "monitor/HealthWatch.h"

namespace {
constexpr uint32_t kStart = 5000;
constexpr uint32_t kMsPerSecond = 1000;

// A room: fixed random detail, as a camera's view has.
cv::Mat Scene(int seed, int brighter = 0) {
  cv::Mat small(24, 32, CV_8U), scene;
  cv::RNG rng(static_cast<uint64_t>(seed));
  rng.fill(small, cv::RNG::UNIFORM, 0, 180);
  cv::resize(small, scene, cv::Size(320, 240), 0, 0, cv::INTER_NEAREST);
  return scene + brighter;
}

// Someone close to the lens, filling most of the view, never still.
cv::Mat Walker(int second) {
  cv::Mat frame = Scene(1).clone();
  const int x = (second % 2) * 40;
  Scene(3)(cv::Rect(0, 0, 280, 240)).copyTo(frame(cv::Rect(x, 0, 280, 240)));
  return frame;
}

struct Watched {
  std::vector<HealthMail> mails;
  int heldBack = 0;
};

// One frame a second for `seconds`, the picture given by `frameAt`.
Watched Watch(const std::function<cv::Mat(int second)>& frameAt, int seconds) {
  HealthWatch watch;
  watch.Start(kStart);
  Watched run;
  for (int s = 1; s <= seconds; ++s) {
    const uint32_t now = kStart + static_cast<uint32_t>(s) * kMsPerSecond;
    watch.Tick(now, true);
    watch.Frame(frameAt(s), now);
    int held = 0;
    for (HealthMail& mail : watch.TakeMails(now, &held)) run.mails.push_back(mail);
    run.heldBack += held;
  }
  return run;
}
} // namespace

TEST(HealthWatch, ViewChangedWhollyAndSteadyIsOneMailAndItsReturnAnother) {
  const int steadyS = static_cast<int>(kHealthSteadyMs / kMsPerSecond);
  struct Row {
    const char* name;
    std::function<cv::Mat(int)> frameAt;
    int seconds;
    std::vector<bool> mails;  // recovered, in order
  } rows[] = {
      {"covered, then uncovered", [&](int s) { return s < 10 || s > 10 + steadyS + 5 ? Scene(1) : cv::Mat(240, 320, CV_8U, cv::Scalar(15)); },
       10 + steadyS + 10, {false, true}},
      {"turned for good", [](int s) { return s < 10 ? Scene(1) : Scene(2); }, 10 + steadyS + 10, {false}},
      {"covered too briefly", [&](int s) { return s < 10 || s > 10 + steadyS - 3 ? Scene(1) : Scene(2); },
       10 + steadyS + 10, {}},
      {"a person walking through", [](int s) { return s < 10 || s > 40 ? Scene(1) : Walker(s); }, 60, {}},
      {"the light goes on", [](int s) { return Scene(1, s < 10 ? 0 : 60); }, 10 + steadyS + 10, {}},
  };
  for (const Row& row : rows) {
    const Watched run = Watch(row.frameAt, row.seconds);
    ASSERT_EQ(run.mails.size(), row.mails.size()) << row.name;
    for (size_t i = 0; i < run.mails.size(); ++i) {
      EXPECT_EQ(run.mails[i].problem, HealthProblem::ViewChanged) << row.name;
      EXPECT_EQ(run.mails[i].recovered, row.mails[i]) << row.name;
    }
  }
}

TEST(HealthWatch, NoFrameForTheNamedMinutesIsOneMailAndTheNextFrameAnother) {
  HealthWatch watch;
  watch.Start(kStart);
  const uint32_t limit = kHealthNoFrameMinutes * 60 * kMsPerSecond;
  watch.Tick(kStart + limit - 1, false);
  EXPECT_TRUE(watch.TakeMails(kStart + limit, nullptr).empty());
  watch.Tick(kStart + limit, false);
  watch.Tick(kStart + 2 * limit, false);  // said once
  const auto lost = watch.TakeMails(kStart + 2 * limit, nullptr);
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_FALSE(lost[0].recovered);
  EXPECT_EQ(HealthMailSubject(lost[0]), "カメラの映像が途絶えています");
  watch.Tick(kStart + 2 * limit + 1, true);
  const auto back = watch.TakeMails(kStart + 2 * limit + 1, nullptr);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_TRUE(back[0].recovered);
}

// The floor said twice is one mail; flapping is capped per hour, and the
// cap's window moves on.
TEST(HealthWatch, ArchiveFloorMailsAndTheHourlyCap) {
  HealthWatch watch;
  watch.Start(kStart);
  watch.On(MonitorEvent::ArchiveFloorChanged(true, "空き 10 MB"));
  watch.On(MonitorEvent::ArchiveFloorChanged(true, "空き 9 MB"));
  const auto first = watch.TakeMails(kStart, nullptr);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].problem, HealthProblem::ArchiveFull);
  EXPECT_EQ(HealthMailSubject(first[0]), "イベントの記録先の空きが不足しています");
  EXPECT_EQ(HealthMailBody(first[0]).back(), "空き 10 MB");

  int held = 0;
  size_t sent = first.size();
  for (int i = 0; i < 2 * kMaxHealthMailsPerHour; ++i) {
    watch.On(MonitorEvent::ArchiveFloorChanged(i % 2 != 0, ""));
    int h = 0;
    sent += watch.TakeMails(kStart + 1000 + static_cast<uint32_t>(i), &h).size();
    held += h;
  }
  EXPECT_EQ(sent, static_cast<size_t>(kMaxHealthMailsPerHour));
  EXPECT_EQ(held, 2 * kMaxHealthMailsPerHour + 1 - kMaxHealthMailsPerHour);
  watch.On(MonitorEvent::ArchiveFloorChanged(false, ""));
  EXPECT_EQ(watch.TakeMails(kStart + kHealthCapWindowMs - 1, nullptr).size(), 0u);
  watch.On(MonitorEvent::ArchiveFloorChanged(true, ""));
  EXPECT_EQ(watch.TakeMails(kStart + kHealthCapWindowMs, nullptr).size(), 1u);
}

// A recovery follows its problem's mail even over the hourly cap; one whose
// problem was held back is held back as well.
TEST(HealthWatch, RecoveryOfAMailedProblemGoesOutOverTheCap) {
  HealthWatch watch;
  watch.Start(kStart);
  for (int i = 0; i < kMaxHealthMailsPerHour; ++i) {
    watch.On(MonitorEvent::ArchiveFloorChanged(i % 2 == 0, ""));
    ASSERT_EQ(watch.TakeMails(kStart + static_cast<uint32_t>(i), nullptr).size(), 1u) << i;
  }
  const uint32_t later = kStart + kHealthCapWindowMs;  // the first has left the window
  struct Step { bool problem; size_t sent; int held; };
  for (const Step& step : {Step{true, 1, 0}, Step{false, 1, 0}, Step{true, 0, 1}, Step{false, 0, 1}}) {
    watch.On(MonitorEvent::ArchiveFloorChanged(step.problem, ""));
    int held = 0;
    EXPECT_EQ(watch.TakeMails(later, &held).size(), step.sent) << step.problem;
    EXPECT_EQ(held, step.held) << step.problem;
  }
}
