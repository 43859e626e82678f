// One monitoring tick on a 1920 x 1080 frame, against one plain memcpy of
// that frame measured in the same run. The frame reaches the tick through
// the frame file, written by the capture's own writer (WriteBmpFile, what
// GrabFrameToFile calls under its lock), so the tick does its whole file
// round trip.
// Run it in a folder on tmpfs, as the program runs: the frame file is
// rewritten on every tick.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include "capture/BmpFile.h"
#include "monitor/MonitoringCycle.h"
#include "settings/Vardocamdef.h"

namespace {
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// The real detector behind a capture that serves two alternating scenes.
class BenchCamera : public NsOpenCVCamera {
public:
  BenchCamera() : NsOpenCVCamera("IMAGE") {
    for (int i = 0; i < 2; ++i) {
      scenes_[i] = cv::Mat(kHeight, kWidth, CV_8UC3);
      cv::randu(scenes_[i], 0, 64);
      cv::rectangle(scenes_[i], cv::Rect(200 + 400 * i, 200, 600, 500), cv::Scalar(220, 220, 220),
                    cv::FILLED);
    }
  }
  bool OpenCamera(int32_t, const std::string&) override { return true; }
  void CloseCamera() override {}
  bool HasNewFrame() override { return fresh; }
  bool GrabFrameToFile(const std::string& path) override {
    next_ ^= 1;
    return WriteBmpFile(path, scenes_[next_]);
  }
  const cv::Mat& Scene() const { return scenes_[0]; }
  bool fresh = true;

private:
  cv::Mat scenes_[2];
  int next_ = 0;
};

class QuietSound : public ISoundPlayer {
public:
  void Play(const std::string&) override {}
  void Stop() override {}
};
class NoMail : public IMonitorMail {
public:
  MailResult SendAlertMail(const MailContext&) override { return {}; }
  RequestCheckResult CheckRequestMail(const MailContext&) override { return {}; }
};
class Timer : public IMonitorTimer {
public:
  void SetEnabled(bool e) override { on_ = e; }
  bool Enabled() const override { return on_; }

private:
  bool on_ = false;
};
class NoPump : public IMessagePump {
public:
  void ProcessMessages() override {}
};

struct Rig {
  Rig() {
    AppSettings = typVardocam{};
    AppSettings.USE_OOTSU = true;
    AppSettings.MOVEBORDER = 4;
    AppSettings.START_MOVE_OBJECT = 60;
    AppSettings.CHECK_INTERVAL = 1;
    auto owned = std::make_unique<BenchCamera>();
    camera = owned.get();
    cycle.SetCamera(std::move(owned));
    cycle.StartMonitoring();
  }
  Timer timer;
  NoPump pump;
  QuietSound sound;
  NoMail mail;
  MonitoringCycle cycle{timer, pump, sound, mail};
  BenchCamera* camera = nullptr;
};

void BM_FrameMemcpy1080p(benchmark::State& state) {
  std::vector<uint8_t> from(static_cast<size_t>(kWidth) * kHeight * 3, 7);
  std::vector<uint8_t> to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(from.size()));
}
BENCHMARK(BM_FrameMemcpy1080p)->Unit(benchmark::kMicrosecond);

// The same copy from and to buffers that are not in the cache, as a frame
// fresh from the camera is not.
void BM_FrameMemcpy1080pUncached(benchmark::State& state) {
  constexpr size_t kBuffers = 16;  // 16 x 2 x 6.2 MB: more than any cache
  const size_t size = static_cast<size_t>(kWidth) * kHeight * 3;
  std::vector<std::vector<uint8_t>> from(kBuffers, std::vector<uint8_t>(size, 7));
  std::vector<std::vector<uint8_t>> to(kBuffers, std::vector<uint8_t>(size, 0));
  size_t i = 0;
  for (auto _ : state) {
    std::memcpy(to[i].data(), from[i].data(), size);
    benchmark::DoNotOptimize(to[i].data());
    benchmark::ClobberMemory();
    i = (i + 1) % kBuffers;
  }
}
BENCHMARK(BM_FrameMemcpy1080pUncached)->Unit(benchmark::kMicrosecond);

void BM_FullTick1080p(benchmark::State& state) {
  Rig rig;
  rig.cycle.CaptureTimerTimer();
  for (auto _ : state) rig.cycle.CaptureTimerTimer();
}
BENCHMARK(BM_FullTick1080p)->Unit(benchmark::kMicrosecond);

void BM_TickWithoutNewFrame1080p(benchmark::State& state) {
  Rig rig;
  rig.cycle.CaptureTimerTimer();
  rig.camera->fresh = false;
  for (auto _ : state) rig.cycle.CaptureTimerTimer();
}
BENCHMARK(BM_TickWithoutNewFrame1080p)->Unit(benchmark::kMicrosecond);
} // namespace

// OpenCV on one thread, as the program runs it.
int main(int argc, char** argv) {
  cv::setNumThreads(1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
