// Measures the person check on OpenCV's sample footage and photographs and
// on variations of them: how often a person is found, and what a check
// costs in processor time (one OpenCV thread, as the program runs).
//
//   build/bench/person_check_measure [data folder] [chosen|scores|costs|cascades|all]
//   build/bench/person_check_measure [data folder] paced [seconds]
//
// The data folder defaults to where Debian's opencv-doc puts its samples.
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/videoio.hpp>

#include "vision/Nsopencv.h"
#include "vision/PersonCheck.h"
#include "vision/PersonDetector.h"

namespace {
constexpr const char* kDefaultData = "/usr/share/doc/opencv-doc/examples/data";
constexpr const char* kCascades = "/usr/share/opencv4/haarcascades/";
// Every this many frames with motion is checked, about what the rate limit
// lets through at 10 fps.
constexpr int kCheckEvery = 5;
constexpr int kMoveBorder = 0;  // every comparison with regions counts

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1.0e6;
}

struct Variant {
  const char* name;
  std::function<cv::Mat(const cv::Mat&)> apply;
};

cv::Mat Noisy(const cv::Mat& in) {
  static cv::RNG rng(7);
  cv::Mat noise(in.size(), CV_16SC3);
  rng.fill(noise, cv::RNG::NORMAL, 0, 12);
  cv::Mat out;
  in.convertTo(out, CV_16SC3);
  out += noise;
  out.convertTo(out, CV_8UC3);
  return out;
}

const std::vector<Variant>& Variants() {
  static const std::vector<Variant> v = {
      {"as is", [](const cv::Mat& m) { return m.clone(); }},
      {"dark (x0.35)", [](const cv::Mat& m) { cv::Mat o; m.convertTo(o, -1, 0.35); return o; }},
      {"noisy (sigma 12)", Noisy},
      {"half size", [](const cv::Mat& m) { cv::Mat o; cv::resize(m, o, {}, 0.5, 0.5, cv::INTER_AREA); return o; }},
      {"640x480", [](const cv::Mat& m) { cv::Mat o; cv::resize(m, o, {640, 480}); return o; }},
      {"x1.5", [](const cv::Mat& m) { cv::Mat o; cv::resize(m, o, {}, 1.5, 1.5); return o; }},
      {"mirrored", [](const cv::Mat& m) { cv::Mat o; cv::flip(m, o, 1); return o; }},
  };
  return v;
}

struct Candidate {
  cv::Mat frame;
  MotionRegions regions;
};

// The frames the cycle would hand over: the real detector (Otsu, the
// previous frame) through a frame file, every kCheckEvery-th with regions.
std::vector<Candidate> Candidates(const std::string& clip, const Variant& variant) {
  std::vector<Candidate> out;
  cv::VideoCapture video(clip);
  nsOpenCV vision("MEASURE");
  const std::string path = "/tmp/person_check_measure_frame.bmp";
  cv::Mat frame;
  int withMotion = 0;
  while (video.read(frame)) {
    const cv::Mat shown = variant.apply(frame);
    cv::imwrite(path, shown);
    vision.LoadFrame(path);
    vision.ConvertToGrey();
    vision.Binarize(-1);
    vision.DetectMotion(kMoveBorder);
    MotionRegions regions = vision.MotionRegions(kMaxReportedRegions);
    if (regions.empty()) continue;
    if (withMotion++ % kCheckEvery == 0) out.push_back({shown, std::move(regions)});
  }
  std::remove(path.c_str());
  return out;
}

// A Haar cascade searched in the same areas, for comparison only.
class CascadeDetector : public IPersonDetector {
public:
  CascadeDetector(const std::string& file, double scaleUp) : scaleUp_(scaleUp) { cascade_.load(file); }
  bool Loaded() const { return !cascade_.empty(); }
  std::optional<cv::Rect> Find(const cv::Mat& frame, const MotionRegions& regions) override {
    double budget = kMaxPersonSearchPixels;
    for (const PersonSearchStep& step : PlanPersonSearch(regions, frame.size())) {
      const cv::Rect& box = step.box;
      const double scale = std::min(scaleUp_, std::sqrt(budget / box.area()));
      cv::Mat grey, scaled;
      cv::cvtColor(frame(box), grey, cv::COLOR_BGR2GRAY);
      cv::resize(grey, scaled, {}, scale, scale);
      budget -= scaled.total();
      std::vector<cv::Rect> found;
      cascade_.detectMultiScale(scaled, found, 1.1, 3);
      if (!found.empty()) return found.front();
      if (budget <= 0) break;
    }
    return std::nullopt;
  }

private:
  cv::CascadeClassifier cascade_;
  double scaleUp_;
};

struct Config {
  std::string name;
  std::function<std::unique_ptr<IPersonDetector>()> make;
};

Config Hog(double up, double score, int budget, double step) {
  char name[96];
  std::snprintf(name, sizeof name, "HOG x%.1f >=%.1f %dk px step %.2f", up, score, budget / 1000, step);
  return {name, [=] {
            PersonSearch s;
            s.maxScaleUp = up;
            s.minScore = score;
            s.maxSearchPixels = budget;
            s.pyramidStep = step;
            return MakeHogPersonDetector(s, nullptr);
          }};
}

// "chosen": the program's own settings; "scores": scale-ups and score
// thresholds; "costs": what bounds a check's cost; "cascades": OpenCV's
// full-body and upper-body cascades; "all": scale-ups, thresholds, cascades.
std::vector<Config> Configs(const std::string& set) {
  std::vector<Config> c;
  const PersonSearch own;
  if (set == "chosen") return {Hog(own.maxScaleUp, own.minScore, own.maxSearchPixels, own.pyramidStep)};
  if (set == "costs") {
    for (int budget : {307200, 153600, own.maxSearchPixels, 76800}) c.push_back(Hog(2.0, own.minScore, budget, 1.05));
    c.push_back(Hog(2.0, own.minScore, 153600, 1.1));
    c.push_back(Hog(2.0, own.minScore, 307200, 1.1));
    return c;
  }
  if (set == "scores") {
    for (double up : {1.5, 2.0}) {
      for (double score : {0.3, 0.7, 1.0}) c.push_back(Hog(up, score, 640 * 480, 1.05));
    }
    return c;
  }
  if (set == "all") {
    for (double up : {1.0, 1.5, 2.0, 3.0}) {
      for (double score : {0.3, 0.7, 1.0}) c.push_back(Hog(up, score, 640 * 480, 1.05));
    }
  }
  for (const char* file : {"haarcascade_fullbody.xml", "haarcascade_upperbody.xml"}) {
    c.push_back({std::string(file).substr(12, 8) + " x2",
                 [file] { return std::make_unique<CascadeDetector>(std::string(kCascades) + file, 2.0); }});
  }
  return c;
}

void Clips(const std::string& data, const std::string& set) {
  const auto configs = Configs(set);
  std::cout << "| clip | variation | checks |";
  for (const auto& c : configs) std::cout << ' ' << c.name << " |";
  std::cout << "\n";
  for (const char* clip : {"vtest.avi", "tree.avi"}) {
    for (const Variant& variant : Variants()) {
      const auto candidates = Candidates(data + "/" + clip, variant);
      std::cout << "| " << clip << " | " << variant.name << " | " << candidates.size() << " |";
      for (const auto& config : configs) {
        // Cascades are slow: on the variations only the HOG rows.
        const bool cascade = config.name.rfind("HOG", 0) != 0;
        if (cascade && std::string(variant.name) != "as is" && std::string(variant.name) != "640x480") {
          std::cout << " - |";
          continue;
        }
        auto detector = config.make();
        int found = 0;
        double worst = 0.0;
        const double before = ThreadCpuMs();
        for (const Candidate& c : candidates) {
          const double start = ThreadCpuMs();
          if (detector->Find(c.frame, c.regions)) ++found;
          worst = std::max(worst, ThreadCpuMs() - start);
        }
        const double each = candidates.empty() ? 0.0 : (ThreadCpuMs() - before) / candidates.size();
        std::printf(" %d, %.0f ms (%.0f) |", found, each, worst);
        std::fflush(stdout);
      }
      std::cout << std::endl;
    }
  }
}

void Stills(const std::string& data, const std::string& set) {
  const auto configs = Configs(set);
  struct Still {
    const char* file;
    bool person;
  };
  const Still stills[] = {{"basketball1.png", true}, {"basketball2.png", true}, {"messi5.jpg", true},
                          {"fruits.jpg", false},     {"baboon.jpg", false},     {"building.jpg", false},
                          {"home.jpg", false},       {"starry_night.jpg", false}, {"aero1.jpg", false},
                          {"graf1.png", false},      {"box_in_scene.png", false}, {"smarties.png", false},
                          {"board.jpg", false},      {"butterfly.jpg", false},  {"stuff.jpg", false}};
  std::cout << "\n| photo | person |";
  for (const auto& c : configs) std::cout << ' ' << c.name << " |";
  std::cout << "\n";
  for (const Still& still : stills) {
    const cv::Mat photo = cv::imread(data + "/" + still.file, cv::IMREAD_COLOR);
    if (photo.empty()) continue;
    std::cout << "| " << still.file << " | " << (still.person ? "yes" : "no") << " |";
    for (const auto& config : configs) {
      auto detector = config.make();
      int found = 0;
      std::string which;
      for (size_t i = 0; i < Variants().size(); ++i) {
        const cv::Mat shown = Variants()[i].apply(photo);
        const MotionRegions whole = {{0, 0, shown.cols, shown.rows, static_cast<int64_t>(shown.total())}};
        if (!detector->Find(shown, whole)) continue;
        ++found;
        which += static_cast<char>('a' + i);
      }
      std::cout << ' ' << found << '/' << Variants().size() << (which.empty() ? "" : " " + which) << " |"
                << std::flush;
    }
    std::cout << "\n";
  }
}

// The worker as the program runs it: vtest at 640 x 480 handed to the tick's
// image steps at 10 fps in real time, every frame with motion submitted;
// prints the checks a second and their share of a core beside the process's.
void Paced(const std::string& data, int seconds) {
  PersonCheckWorker worker(MakePersonDetector(nullptr));
  nsOpenCV vision("MEASURE");
  const std::string path = "/tmp/person_check_measure_paced.bmp";
  constexpr auto kFrameSpacing = std::chrono::milliseconds(100);
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  auto next = start;
  cv::VideoCapture video;
  cv::Mat frame;
  for (uint32_t i = 0; std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds); ++i) {
    if (!video.read(frame)) {
      video.open(data + "/vtest.avi");
      continue;
    }
    cv::resize(frame, frame, {640, 480});
    cv::imwrite(path, frame);
    vision.LoadFrame(path);
    vision.ConvertToGrey();
    vision.Binarize(-1);
    vision.DetectMotion(kMoveBorder);
    MotionRegions regions = vision.MotionRegions(kMaxReportedRegions);
    if (!regions.empty()) worker.Submit({frame.clone(), std::move(regions), i * 100});
    while (worker.TakeFound()) {
    }
    next += kFrameSpacing;
    std::this_thread::sleep_until(next);
  }
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  const double wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  const double processMs = ms(after.ru_utime) + ms(after.ru_stime) - ms(before.ru_utime) - ms(before.ru_stime);
  std::printf("%.0f s: %llu checks (%.2f a second), checks %.1f %% of a core (%.1f ms each), "
              "the process in all %.1f %%\n",
              wallS, static_cast<unsigned long long>(worker.ChecksRun()), worker.ChecksRun() / wallS,
              worker.CheckCpuMs() / wallS / 10.0, worker.CheckCpuMs() / std::max<uint64_t>(1, worker.ChecksRun()),
              processMs / wallS / 10.0);
  std::remove(path.c_str());
}
} // namespace

int main(int argc, char** argv) {
  cv::setNumThreads(1);
  const std::string data = argc > 1 && argv[1][0] ? argv[1] : kDefaultData;
  const std::string set = argc > 2 ? argv[2] : "chosen";
  if (set == "paced") {
    Paced(data, argc > 3 ? std::atoi(argv[3]) : 60);
    return 0;
  }
  Stills(data, set);
  Clips(data, set);
  return 0;
}
