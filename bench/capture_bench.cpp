// The cost of one monitoring tick's file round trip: GrabFrameToFile, then
// LoadFrame, against one plain memcpy of the frame measured in the same run;
// the disk writes it causes; and whether memory stays flat.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "capture/CameraSource.h"
#include "vision/Nsopencv.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr char kTmpfsDir[] = "/dev/shm";
constexpr char kDiskDir[] = "/tmp";  // ext4 here: checked with df -T

std::string FolderFor(int64_t onDisk) { return onDisk ? kDiskDir : kTmpfsDir; }

// A camera that shows one still picture of the given size: a one-frame
// video played at one frame a second, so the reader hardly competes.
class StillCamera {
public:
  StillCamera(int width, int height) {
    video_ = std::string(kTmpfsDir) + "/capture_bench_" + std::to_string(getpid()) + "_" +
             std::to_string(width) + ".avi";
    cv::Mat picture(height, width, CV_8UC3);
    cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::VideoWriter writer(video_, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 1.0,
                           picture.size());
    writer.write(picture);
    writer.release();
    CaptureTimings timings;
    timings.settleMs = 0;
    SetCaptureTimings(timings);
    open_ = vision_.OpenCamera(0, video_);
  }
  ~StillCamera() {
    vision_.CloseCamera();
    std::remove(video_.c_str());
  }
  bool Open() const { return open_; }
  nsOpenCV& Vision() { return vision_; }

private:
  std::string video_;
  nsOpenCV vision_{"IMAGE"};
  bool open_ = false;
};

// Sectors written to the block device that holds path, from its counters.
int64_t SectorsWritten(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  std::ifstream counters("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                         std::to_string(minor(st.st_dev)) + "/stat");
  int64_t field[7] = {};
  for (auto& value : field) counters >> value;
  return counters ? field[6] : -1;
}

// Bytes this process caused to be sent to storage (dirtied page cache).
int64_t ProcessWriteBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value = 0;
  while (io >> key >> value)
    if (key == "write_bytes:") return value;
  return -1;
}

// Kilobytes from /proc/self/status: "VmHWM:" (peak) or "VmRSS:".
int64_t StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::stoll(line.substr(std::strlen(key)));
  return -1;
}

void BM_Memcpy(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(state.range(0) * state.range(1) * 3);
  std::vector<char> from(bytes, 1), to(bytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Times body once per iteration, and beside it one memcpy of the frame's
// bytes between buffers of its own, under the same load and cache state;
// "memcpys" is the body's cost in units of that copy.
template <class Body>
void AgainstMemcpy(benchmark::State& state, size_t frameBytes, Body body) {
  std::vector<char> from(frameBytes, 1), to(frameBytes, 0);
  double bodySeconds = 0, memcpySeconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!body()) state.SkipWithError("round trip failed");
    const auto middle = Clock::now();
    std::memcpy(to.data(), from.data(), frameBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
    const auto end = Clock::now();
    bodySeconds += std::chrono::duration<double>(middle - start).count();
    memcpySeconds += std::chrono::duration<double>(end - middle).count();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["us"] = bodySeconds / n * 1e6;
  state.counters["memcpy_us"] = memcpySeconds / n * 1e6;
  state.counters["memcpys"] = bodySeconds / memcpySeconds;
}

// Arguments: width, height, file on disk (1) or tmpfs (0).
void BM_GrabThenLoad(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  StillCamera camera(width, height);
  if (!camera.Open()) return state.SkipWithError("the still camera did not open");
  const std::string path = FolderFor(state.range(2)) + "/capture_bench_result.bmp";
  nsOpenCV& vision = camera.Vision();
  AgainstMemcpy(state, static_cast<size_t>(width) * height * 3,
                [&] { return vision.GrabFrameToFile(path) && vision.LoadFrame(path); });
  std::remove(path.c_str());
}

void BM_GrabOnly(benchmark::State& state) {
  StillCamera camera(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  if (!camera.Open()) return state.SkipWithError("the still camera did not open");
  const std::string path = FolderFor(state.range(2)) + "/capture_bench_result.bmp";
  AgainstMemcpy(state, static_cast<size_t>(state.range(0) * state.range(1) * 3),
                [&] { return camera.Vision().GrabFrameToFile(path); });
  std::remove(path.c_str());
}

void BM_LoadOnly(benchmark::State& state) {
  StillCamera camera(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  if (!camera.Open()) return state.SkipWithError("the still camera did not open");
  const std::string path = FolderFor(state.range(2)) + "/capture_bench_result.bmp";
  camera.Vision().GrabFrameToFile(path);
  AgainstMemcpy(state, static_cast<size_t>(state.range(0) * state.range(1) * 3),
                [&] { return camera.Vision().LoadFrame(path); });
  std::remove(path.c_str());
}

// Disk traffic over 1,000 grabs onto the ext4 disk: the frame file's own
// writes, and the whole device's (other work on the machine counts there).
// Argument 1 instead truncates the file before each write, for comparison.
void BM_DiskWrites(benchmark::State& state) {
  StillCamera camera(1920, 1080);
  const std::string path = std::string(kDiskDir) + "/capture_bench_disk.bmp";
  const bool truncateFirst = state.range(0) != 0;
  camera.Vision().GrabFrameToFile(path);  // the file exists before counting
  sync();
  const int64_t sectorsBefore = SectorsWritten(path);
  const int64_t bytesBefore = ProcessWriteBytes();
  for (auto _ : state) {
    if (truncateFirst) truncate(path.c_str(), 0);
    if (!camera.Vision().GrabFrameToFile(path)) state.SkipWithError("grab failed");
  }
  state.counters["device_MB_written"] =
      static_cast<double>(SectorsWritten(path) - sectorsBefore) * 512 / 1e6;
  state.counters["process_MB_to_storage"] =
      static_cast<double>(ProcessWriteBytes() - bytesBefore) / 1e6;
  std::remove(path.c_str());
}

// Resident memory over 10,000 full-HD round trips on tmpfs.
void BM_PeakMemory(benchmark::State& state) {
  StillCamera camera(1920, 1080);
  const std::string path = std::string(kTmpfsDir) + "/capture_bench_memory.bmp";
  int64_t iteration = 0;
  int64_t peakAfter100 = 0, peakAfter1000 = 0;
  for (auto _ : state) {
    camera.Vision().GrabFrameToFile(path);
    camera.Vision().LoadFrame(path);
    ++iteration;
    if (iteration == 100) peakAfter100 = StatusKb("VmHWM:");
    if (iteration == 1000) peakAfter1000 = StatusKb("VmHWM:");
  }
  state.counters["peak_kB_after_100"] = static_cast<double>(peakAfter100);
  state.counters["peak_kB_after_1000"] = static_cast<double>(peakAfter1000);
  state.counters["peak_kB_at_end"] = static_cast<double>(StatusKb("VmHWM:"));
  state.counters["rss_kB_at_end"] = static_cast<double>(StatusKb("VmRSS:"));
  std::remove(path.c_str());
}
} // namespace

BENCHMARK(BM_Memcpy)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GrabThenLoad)
    ->ArgsProduct({{640}, {480}, {0, 1}})
    ->ArgsProduct({{1920}, {1080}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GrabOnly)->Args({1920, 1080, 0})->Args({1920, 1080, 1})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadOnly)->Args({1920, 1080, 0})->Args({1920, 1080, 1})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DiskWrites)->Arg(0)->Arg(1)->Iterations(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemory)->Iterations(10000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
