// One detection step (load a 24-bit BMP, grey, Otsu, compare) through
// nsOpenCV as the monitoring cycle runs it (frames 33 ms apart compared with
// the one at least 80 ms earlier), with every optional check on, and beside
// the same OpenCV calls made directly.
#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "settings/Vardocamdef.h"
#include "vision/Nsopencv.h"

namespace {
constexpr int32_t kMoveBorder = 4;
constexpr uint32_t kFrameSpacingMs = 33;  // a 30 fps camera

std::string FramePath(int width, int height, int variant) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = runtime && *runtime ? runtime : "/dev/shm";
  return folder + "/vardocam-bench-" + std::to_string(getpid()) + "-" + std::to_string(width) +
         "x" + std::to_string(height) + "-" + std::to_string(variant) + ".bmp";
}

// Two frames of a scene with a moving patch, so the comparison has work.
std::string MakeFrames(int width, int height) {
  for (int variant = 0; variant < 2; ++variant) {
    cv::Mat frame(height, width, CV_8UC3);
    cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::GaussianBlur(frame, frame, cv::Size(15, 15), 0);
    cv::rectangle(frame, cv::Rect(width / 4 + variant * width / 8, height / 4, width / 4, height / 4),
                  cv::Scalar::all(255), cv::FILLED);
    cv::imwrite(FramePath(width, height, variant), frame);
  }
  return FramePath(width, height, 0);
}

void SetThreads(const benchmark::State& state) {
  cv::setNumThreads(state.range(2) == 1 ? 1 : -1);  // -1: OpenCV's default
}

// The object's tick steps over two alternating frames at the camera's spacing.
void RunObjectSteps(benchmark::State& state, int w, int h, const MotionOptions& options) {
  nsOpenCV vision("IMAGE");
  vision.SetMotionOptions(options);
  int variant = 0;
  uint32_t frameTime = 0;
  for (auto _ : state) {
    vision.LoadFrame(FramePath(w, h, variant ^= 1));
    vision.ConvertToGrey();
    vision.Binarize(-1);
    benchmark::DoNotOptimize(vision.DetectMotion(kMoveBorder, frameTime += kFrameSpacingMs));
  }
}

void BM_ObjectStep(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  MakeFrames(w, h);
  SetThreads(state);
  MotionOptions options;
  options.referenceIntervalMs = kDefaultReferenceIntervalMs;
  RunObjectSteps(state, w, h, options);
}

// The same with a mask (the left half watched) and the lighting cutoff on.
void BM_ObjectStepAllChecks(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  MakeFrames(w, h);
  SetThreads(state);
  MotionOptions options;
  options.referenceIntervalMs = kDefaultReferenceIntervalMs;
  options.lightingCutoffPercent = 60;
  options.mask = cv::Mat(h, w, CV_8UC1, cv::Scalar(0));
  options.mask(cv::Rect(0, 0, w / 2, h)).setTo(255);
  RunObjectSteps(state, w, h, options);
}

void BM_DirectStep(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  MakeFrames(w, h);
  SetThreads(state);
  const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(4, 4), cv::Point(0, 0));
  const cv::Point anchor(0, 0);
  cv::Mat reference;
  int variant = 0;
  for (auto _ : state) {
    cv::Mat colour = cv::imread(FramePath(w, h, variant ^= 1), cv::IMREAD_COLOR);
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_RGB2GRAY);
    cv::threshold(grey, grey, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    cv::erode(grey, grey, element, anchor, 2, cv::BORDER_REPLICATE);
    cv::dilate(grey, grey, element, anchor, 2, cv::BORDER_REPLICATE);
    if (!reference.empty()) {
      cv::Mat difference;
      cv::bitwise_xor(grey, reference, difference);
      cv::erode(difference, difference, element, anchor, 2, cv::BORDER_REPLICATE);
      cv::dilate(difference, difference, element, anchor, 2, cv::BORDER_REPLICATE);
      const int64_t changed = cv::countNonZero(difference);
      benchmark::DoNotOptimize(changed * 100 / grey.total() > kMoveBorder);
    }
    reference = grey.clone();
  }
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int threads : {1, 0})
    for (auto [w, h] : {std::pair{640, 480}, {1280, 720}, {1920, 1080}}) b->Args({w, h, threads});
  b->ArgNames({"w", "h", "single"});
  b->Unit(benchmark::kMillisecond);
}
} // namespace

BENCHMARK(BM_ObjectStep)->Apply(Sizes);
BENCHMARK(BM_ObjectStepAllChecks)->Apply(Sizes);
BENCHMARK(BM_DirectStep)->Apply(Sizes);

BENCHMARK_MAIN();
