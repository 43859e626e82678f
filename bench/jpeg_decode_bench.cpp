// What one MJPEG camera frame costs to turn into 8-bit B, G, R: the capture's
// own decoder (libjpeg-turbo straight into the frame) with each choice of
// its options, OpenCV's JPEG loader, and the general video path (FFmpeg's
// decoder and a colour conversion) that MJPEG sources went through before.
// Also prints how far each option's picture is from both of OpenCV's.
//   build/bench/jpeg_decode_bench [--benchmark_repetitions=5 ...]
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <turbojpeg.h>
#include <unistd.h>

#include "capture/JpegDecoder.h"

namespace {
// A camera-like picture: gradients, objects, sensor noise; quality 80.
std::vector<uint8_t> CameraJpeg(int width, int height) {
  cv::Mat scene(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      scene.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uint8_t>(x * 255 / width),
                                            static_cast<uint8_t>(y * 255 / height),
                                            static_cast<uint8_t>((x + y) % 256));
  cv::circle(scene, {width / 3, height / 2}, height / 5, cv::Scalar(20, 200, 240), -1);
  cv::Mat noise(scene.size(), CV_8UC3);
  cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(6));
  cv::add(scene, noise, scene);
  std::vector<uint8_t> jpeg;
  cv::imencode(".jpg", scene, jpeg, {cv::IMWRITE_JPEG_QUALITY, 80});
  return jpeg;
}

struct Source {
  std::vector<uint8_t> jpeg;
  std::string video;  // the same JPEG as a one-frame MJPEG file
};

const Source& SourceFor(int width, int height) {
  static Source sources[2];
  Source& s = sources[width > 1000 ? 1 : 0];
  if (s.jpeg.empty()) {
    s.jpeg = CameraJpeg(width, height);
    s.video = "/tmp/jpeg_decode_bench_" + std::to_string(getpid()) + "_" + std::to_string(width) + ".mjpeg";
    FILE* f = std::fopen(s.video.c_str(), "wb");
    for (int i = 0; i < 300; ++i) std::fwrite(s.jpeg.data(), 1, s.jpeg.size(), f);
    std::fclose(f);
  }
  return s;
}

void BM_CaptureDecoder(benchmark::State& state) {
  const Source& s = SourceFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  JpegDecoder decoder;
  cv::Mat frame;
  for (auto _ : state) benchmark::DoNotOptimize(decoder.Decode(s.jpeg.data(), s.jpeg.size(), frame));
}

void BM_TurboFlags(benchmark::State& state) {
  const Source& s = SourceFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const int flags = static_cast<int>(state.range(2));
  tjhandle handle = tjInitDecompress();
  cv::Mat frame(static_cast<int>(state.range(1)), static_cast<int>(state.range(0)), CV_8UC3);
  for (auto _ : state)
    tjDecompress2(handle, s.jpeg.data(), s.jpeg.size(), frame.data, frame.cols, 0, frame.rows,
                  TJPF_BGR, flags);
  tjDestroy(handle);
}

void BM_OpenCvLoader(benchmark::State& state) {
  const Source& s = SourceFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  cv::Mat frame;
  for (auto _ : state) frame = cv::imdecode(s.jpeg, cv::IMREAD_COLOR);
}

void BM_GeneralVideoPath(benchmark::State& state) {
  const Source& s = SourceFor(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  cv::VideoCapture capture(s.video, cv::CAP_FFMPEG);
  cv::Mat frame;
  for (auto _ : state) {
    if (!capture.read(frame)) {
      state.PauseTiming();
      capture.open(s.video, cv::CAP_FFMPEG);
      state.ResumeTiming();
    }
  }
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Args({640, 480})->Args({1920, 1080});
}

void FlagSets(benchmark::internal::Benchmark* b) {
  for (int flags : {TJFLAG_ACCURATEDCT, TJFLAG_ACCURATEDCT | TJFLAG_FASTUPSAMPLE, TJFLAG_FASTDCT,
                    TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE})
    for (auto [w, h] : {std::pair{640, 480}, {1920, 1080}}) b->Args({w, h, flags});
}

// Mean absolute difference of each option's picture from OpenCV's loader
// and from the general video path, printed once.
void PrintDifferences() {
  for (auto [w, h] : {std::pair{640, 480}, {1920, 1080}}) {
    const Source& s = SourceFor(w, h);
    const cv::Mat loader = cv::imdecode(s.jpeg, cv::IMREAD_COLOR);
    cv::VideoCapture capture(s.video, cv::CAP_FFMPEG);
    cv::Mat general;
    capture.read(general);
    tjhandle handle = tjInitDecompress();
    cv::Mat frame(h, w, CV_8UC3);
    const std::pair<const char*, int> options[] = {
        {"accurate IDCT, smooth upsampling", TJFLAG_ACCURATEDCT},
        {"accurate IDCT, plain upsampling", TJFLAG_ACCURATEDCT | TJFLAG_FASTUPSAMPLE},
        {"fast IDCT, smooth upsampling", TJFLAG_FASTDCT},
        {"fast IDCT, plain upsampling", TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE}};
    auto mad = [](const cv::Mat& a, const cv::Mat& b) {
      cv::Mat d;
      cv::absdiff(a, b, d);
      return cv::mean(d.reshape(1))[0];
    };
    std::printf("%dx%d: OpenCV's loader against the general video path: %.3f\n", w, h,
                mad(loader, general));
    for (const auto& [name, flags] : options) {
      tjDecompress2(handle, s.jpeg.data(), s.jpeg.size(), frame.data, w, 0, h, TJPF_BGR, flags);
      std::printf("%dx%d: %-34s against the loader %.3f, against the video path %.3f\n", w, h,
                  name, mad(frame, loader), mad(frame, general));
    }
    tjDestroy(handle);
  }
}
} // namespace

BENCHMARK(BM_CaptureDecoder)->Apply(Sizes);
BENCHMARK(BM_TurboFlags)->Apply(FlagSets);
BENCHMARK(BM_OpenCvLoader)->Apply(Sizes);
BENCHMARK(BM_GeneralVideoPath)->Apply(Sizes);

int main(int argc, char** argv) {
  cv::setNumThreads(1);
  PrintDifferences();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  for (auto [w, h] : {std::pair{640, 480}, {1920, 1080}}) std::remove(SourceFor(w, h).video.c_str());
  return 0;
}
