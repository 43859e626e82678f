// What the event archive costs during a 1080p30 MJPEG alarm: processor
// time per frame with archiving off and on, the share of the monitoring
// tick and of the writer thread, the cost of making a JPEG per frame for a
// camera that is not MJPEG, and the bytes a minute of clip takes.
//
// Feeds real footage (Debian's opencv-doc vtest.avi, scaled once to
// 1920x1080 and compressed as a camera would) at 30 frames a second of
// real time: 3 s before the alarm, the alarm, 3 s after. "Off" is what the
// capture does with each frame anyway (the JPEG decode); "on" adds the
// archive: keeping the frame, the ring, the queue and the Matroska writer.
//   archive_bench [ALARM_SECONDS] [FOLDER]   (default 10, a folder under /tmp)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <time.h>

#include "archive/EventLayout.h"
#include "archive/EventRecorder.h"
#include "capture/JpegDecoder.h"
#include "capture/JpegEncoder.h"

namespace fs = std::filesystem;

namespace {
constexpr char kFootage[] = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
constexpr int kFootageFrames = 90;
constexpr double kFps = 30;
constexpr int kPreSeconds = 3;
constexpr int kPostSeconds = 3;
constexpr int kCameraJpegQuality = 85;  // a typical camera's MJPEG

double CpuMs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Figures {
  int frames = 0;
  double processMs = 0;  // all threads: the capture's work, the tick's, the writer's
  double tickMs = 0;     // the recorder's calls on the calling (tick) thread
  double encodeMs = 0;   // making JPEGs, for the non-MJPEG case
  uint64_t dropped = 0;
  EventInfo event;
  int64_t clipBytes = 0;
};

enum class Mode { Off, OnMjpeg, OnEncoded };

// One alarm at the camera's pace. Every mode decodes each JPEG as the
// capture does; "encoded" compresses the decoded frame again as the capture
// does for a camera that delivers no JPEG.
Figures RunAlarm(Mode mode, const std::vector<cv::Mat>& jpegs, int alarmSeconds, const std::string& root) {
  Figures figures;
  EventRecorderOptions options;
  options.root = root;
  options.preMs = kPreSeconds * 1000;
  options.postMs = kPostSeconds * 1000;
  options.limits.maxBytes = int64_t{2048} << 20;
  std::unique_ptr<EventRecorder> recorder;
  if (mode != Mode::Off) recorder = std::make_unique<EventRecorder>(options);
  JpegDecoder decoder;
  JpegEncoder encoder;
  cv::Mat frame;
  const int total = static_cast<int>((kPreSeconds + alarmSeconds + kPostSeconds) * kFps);
  const int alarmFrom = static_cast<int>(kPreSeconds * kFps);
  const int alarmTo = static_cast<int>((kPreSeconds + alarmSeconds) * kFps);
  const auto start = std::chrono::steady_clock::now();
  const double process0 = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
  uint32_t tick = 1000;
  for (int i = 0; i < total; ++i) {
    const auto due = start + std::chrono::microseconds(static_cast<int64_t>(i * 1e6 / kFps));
    std::this_thread::sleep_until(due);
    const cv::Mat& camera = jpegs[static_cast<size_t>(i) % jpegs.size()];
    decoder.Decode(camera.ptr<uint8_t>(), camera.total(), frame);
    if (!recorder) continue;
    cv::Mat jpeg = camera;  // the capture keeps the camera's own, by reference
    if (mode == Mode::OnEncoded) {
      const double e0 = CpuMs(CLOCK_THREAD_CPUTIME_ID);
      encoder.Encode(frame, jpeg);
      figures.encodeMs += CpuMs(CLOCK_THREAD_CPUTIME_ID) - e0;
    }
    const double t0 = CpuMs(CLOCK_THREAD_CPUTIME_ID);
    ArchiveFrameInput input;
    input.jpeg = jpeg;
    input.timeMs = static_cast<int64_t>(i * 1000 / kFps);
    input.changePermille = (i * 37) % 100;
    input.colour = &frame;
    recorder->Frame(input);
    if (i == alarmFrom) recorder->AlarmStarted(tick, frame);
    if (i == alarmTo) recorder->AlarmEnded(tick);
    recorder->Tick(tick);
    figures.tickMs += CpuMs(CLOCK_THREAD_CPUTIME_ID) - t0;
    tick += static_cast<uint32_t>(1000 / kFps);
  }
  if (recorder) {
    recorder->Finish();
    figures.dropped = recorder->FramesDropped();
    for (const ArchiveReport& report : recorder->TakeReports()) {
      if (report.kind == ArchiveReport::Kind::Archived) figures.event = report.event;
      if (report.kind == ArchiveReport::Kind::Notice) std::printf("  (recorder: %s)\n", report.text.c_str());
    }
  }
  figures.processMs = CpuMs(CLOCK_PROCESS_CPUTIME_ID) - process0;
  figures.frames = total;
  std::error_code error;
  if (!figures.event.folder.empty())
    figures.clipBytes = static_cast<int64_t>(fs::file_size(figures.event.folder + "/" + kEventClip, error));
  return figures;
}
} // namespace

int main(int argc, char** argv) {
  const int alarmSeconds = argc > 1 ? std::atoi(argv[1]) : 10;
  if (!fs::exists(kFootage)) {
    std::printf("archive_bench: skipped: %s is missing (Debian package opencv-doc)\n", kFootage);
    return 0;
  }
  std::string folder = argc > 2 ? argv[2] : "";
  bool ownFolder = false;
  if (folder.empty()) {
    char pattern[] = "/tmp/vardocam-archive-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    folder = pattern;
    ownFolder = true;
  }

  // The camera's pictures: the footage at 1080p, each compressed once.
  cv::VideoCapture footage(kFootage);
  std::vector<cv::Mat> jpegs;
  cv::Mat picture, big;
  size_t jpegBytes = 0;
  while (static_cast<int>(jpegs.size()) < kFootageFrames && footage.read(picture)) {
    cv::resize(picture, big, cv::Size(1920, 1080), 0, 0, cv::INTER_LINEAR);
    std::vector<uint8_t> bytes;
    cv::imencode(".jpg", big, bytes, {cv::IMWRITE_JPEG_QUALITY, kCameraJpegQuality});
    jpegBytes += bytes.size();
    jpegs.push_back(cv::Mat(bytes, true).reshape(1, 1));
  }
  if (jpegs.empty()) {
    std::printf("archive_bench: skipped: %s gave no frames\n", kFootage);
    return 0;
  }
  std::printf("footage: %zu frames of %s at 1920x1080, JPEG quality %d, %.0f KB a frame on average\n",
              jpegs.size(), kFootage, kCameraJpegQuality, jpegBytes / 1024.0 / jpegs.size());
  std::printf("alarm: %d s before, %d s of alarm, %d s after, at %.0f frames a second; events in %s\n\n",
              kPreSeconds, alarmSeconds, kPostSeconds, kFps, folder.c_str());

  const Figures off = RunAlarm(Mode::Off, jpegs, alarmSeconds, folder + "/off");
  const Figures on = RunAlarm(Mode::OnMjpeg, jpegs, alarmSeconds, folder + "/mjpeg");
  const Figures encoded = RunAlarm(Mode::OnEncoded, jpegs, alarmSeconds, folder + "/encoded");

  auto perFrame = [](double ms, int frames) { return frames ? ms / frames : 0.0; };
  std::printf("%-46s %9s %9s %9s %9s\n", "CPU ms per frame", "process", "tick", "encode", "writer");
  auto row = [&](const char* name, const Figures& f) {
    // The writer thread's share: what the process spent beyond the decode,
    // the recorder's calls and the encoding.
    const double writer = f.processMs - off.processMs - f.tickMs - f.encodeMs;
    std::printf("%-46s %9.3f %9.4f %9.3f %9.3f\n", name, perFrame(f.processMs, f.frames),
                perFrame(f.tickMs, f.frames), perFrame(f.encodeMs, f.frames),
                &f == &off ? 0.0 : perFrame(writer, f.frames));
  };
  row("archive off (the capture's JPEG decode)", off);
  row("archive on, MJPEG camera", on);
  row("archive on, other camera (a JPEG per frame)", encoded);
  const double archiveMs = perFrame(on.processMs - off.processMs, on.frames);
  const double encodedMs = perFrame(encoded.processMs - off.processMs, encoded.frames);
  std::printf("\nthe archive's own cost: %.3f ms a frame (MJPEG camera), %.3f ms a frame (other camera)\n",
              archiveMs, encodedMs);
  std::printf("  = %.1f %% and %.1f %% of one core at %.0f frames a second\n", archiveMs * kFps / 10,
              encodedMs * kFps / 10, kFps);
  for (const Figures* f : {&on, &encoded}) {
    const double clipSeconds = f->event.frames / kFps;
    std::printf("%s: %lld frames in the clip (%llu dropped), clip %.1f MB, %.0f MB per minute of clip\n",
                f == &on ? "MJPEG camera" : "other camera", static_cast<long long>(f->event.frames),
                static_cast<unsigned long long>(f->dropped), f->clipBytes / 1048576.0,
                clipSeconds > 0 ? f->clipBytes / 1048576.0 * 60 / clipSeconds : 0.0);
  }
  if (ownFolder) fs::remove_all(folder);
  return 0;
}
