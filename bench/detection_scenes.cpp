// Runs the real detector and the real monitoring cycle over the generated
// scenes (bench/scenes/make_scenes.py) at each scene's own frame times, with
// a clock that the program moves, and prints per scene and set of settings:
// crossings that raised an alarm, true and false alarms, and alert mails.
// With --footage, over the treated clips (bench/footage/make_footage.py):
// the share of the run in alarm, the first alarm and the alarms.
//   detection_scenes SCENE_FOLDER
//   detection_scenes --footage FOOTAGE_FOLDER
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/videoio.hpp>

#include "capture/BmpFile.h"
#include "monitor/MonitoringCycle.h"
#include "platform/Clock.h"
#include "settings/Vardocamdef.h"

namespace {
constexpr uint32_t kStartTick = 1000000;
// An alarm this long after the figure was last in view still belongs to its
// crossing: the comparison with an earlier frame sees it leave.
constexpr uint32_t kTrueAlarmSlackMs = 500;
// The person check's worker may start a check this often in real time; the
// bench's own pacing (PacedPersonDetector) keeps it to the program's rate in
// the bench's time, and the bench waits for each check before moving on.
constexpr int kLockstepChecksPerSecond = 1000;
// How often, and how long at most, a frame waits for the worker: a check
// takes about 30 ms; one that hangs is said and the run goes on.
constexpr useconds_t kIdlePollUs = 200;
constexpr int kIdleWaitLimitMs = 10000;

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1.0e6;
}

class BenchClock : public IClock {
public:
  uint32_t TickCount() override { return now; }
  void Sleep(uint32_t ms) override { now += ms; }
  uint32_t now = kStartTick;
};
BenchClock gClock;

class Timer : public IMonitorTimer {
public:
  void SetEnabled(bool enabled) override { enabled_ = enabled; }
  bool Enabled() const override { return enabled_; }

private:
  bool enabled_ = false;
};
class Pump : public IMessagePump {
public:
  void ProcessMessages() override {}
};
class Sound : public ISoundPlayer {
public:
  void Play(const std::string&) override {}
  void Stop() override {}
};
class Mail : public IMonitorMail {
public:
  MailResult SendAlertMail(const MailContext&) override {
    ++mails;
    return {};
  }
  RequestCheckResult CheckRequestMail(const MailContext&) override { return {}; }
  int mails = 0;
};
// The program's detector, checking at most kMaxPersonChecksPerSecond in the
// bench's time. A candidate offered sooner answers as the last check did
// short of a find (Nobody, or Unknown while the check cannot look), which
// changes nothing the decider holds: the real worker would have dropped it.
class PacedPersonDetector : public IPersonDetector {
public:
  explicit PacedPersonDetector(std::unique_ptr<IPersonDetector> inner) : inner_(std::move(inner)) {}
  std::optional<cv::Rect> Find(const cv::Mat& frame, const MotionRegions& regions) override {
    return inner_->Find(frame, regions);
  }
  PersonVerdict Check(const cv::Mat& frame, const MotionRegions& regions) override {
    if (checked_ && gClock.now - last_ < 1000 / kMaxPersonChecksPerSecond) return lastShortOfFind_;
    checked_ = true;
    last_ = gClock.now;
    PersonVerdict verdict = inner_->Check(frame, regions);
    if (std::getenv("VARDOCAM_SCENE"))
      std::fprintf(stderr, "%u ms: check %s\n", gClock.now - kStartTick,
                   verdict.answer == PersonAnswer::Found    ? "found"
                   : verdict.answer == PersonAnswer::Nobody ? "nobody"
                                                            : "unknown");
    lastShortOfFind_ = verdict.answer == PersonAnswer::Unknown ? verdict : PersonVerdict{};
    return verdict;
  }

private:
  std::unique_ptr<IPersonDetector> inner_;
  bool checked_ = false;
  uint32_t last_ = 0;
  PersonVerdict lastShortOfFind_;
};

class Alarms : public IMonitorEvents {
public:
  void On(const MonitorEvent& e) override {
    if (e.kind == MonitorEvent::Kind::AlarmStarted) starts.push_back(gClock.now);
    if (e.kind == MonitorEvent::Kind::AlarmEnded) ends.push_back(gClock.now);
    // VARDOCAM_SCENE's trace names where a person was found.
    if (e.kind == MonitorEvent::Kind::PersonDetected && std::getenv("VARDOCAM_SCENE"))
      std::fprintf(stderr, "%u ms: person at %d,%d %dx%d\n", gClock.now - kStartTick, e.box.x, e.box.y,
                   e.box.width, e.box.height);
    if (e.kind == MonitorEvent::Kind::MotionDetected && std::getenv("VARDOCAM_SCENE"))
      for (const MotionRegion& r : e.regions)
        std::fprintf(stderr, "%u ms: moved %d,%d %dx%d\n", gClock.now - kStartTick, r.x, r.y, r.width, r.height);
    // A mask or a person detector the run could not have changes its
    // figures: said, so a table from a crippled run is not taken as one.
    if (e.kind == MonitorEvent::Kind::Notice) std::fprintf(stderr, "%s\n", e.text.c_str());
  }
  std::vector<uint32_t> starts, ends;
};

// The real detector behind a capture that hands over the scene's frames
// through the frame file, as the camera reader does.
class SceneCamera : public NsOpenCVCamera {
public:
  SceneCamera() : NsOpenCVCamera("IMAGE") {}
  bool OpenCamera(int32_t, const std::string&) override { return true; }
  void CloseCamera() override {}
  bool HasNewFrame() override { return fresh_; }
  bool GrabFrameToFile(const std::string& path) override {
    fresh_ = false;
    return WriteBmpFile(path, frame_);
  }
  void Serve(const cv::Mat& frame) {
    frame_ = frame;
    fresh_ = true;
  }

private:
  cv::Mat frame_;
  bool fresh_ = false;
};

struct Scene {
  std::string name, file, mask;
  int width = 0, height = 0, fps = 0, frames = 0;
  std::vector<std::pair<uint32_t, uint32_t>> crossings;  // ms from the first frame
};

struct Setup {
  const char* name;
  int32_t interval, lightingCutoff, motionFrames, mailCooldown;
  bool useMask;
  bool personCheck = false;
};

struct Outcome {
  int crossingsAlarmed = 0, trueAlarms = 0, falseAlarms = 0, mails = 0;
  uint32_t runMs = 0, inAlarmMs = 0;
  int64_t firstAlarmMs = -1;
  // The ticks' thread, the checks' worker, and decoding the clip: the
  // program's camera reader decodes every frame as well.
  double tickCpuMs = 0, checkCpuMs = 0, decodeCpuMs = 0;
};

std::vector<Scene> ReadScenes(const std::string& folder) {
  std::vector<Scene> scenes;
  std::ifstream listing(folder + "/scenes.txt");
  std::string line;
  while (std::getline(listing, line)) {
    std::istringstream in(line);
    Scene s;
    std::string crossings;
    if (!(in >> s.name >> s.file >> s.width >> s.height >> s.fps >> s.frames >> crossings >> s.mask))
      continue;
    std::istringstream list(crossings == "-" ? "" : crossings);
    std::string span;
    while (std::getline(list, span, ',')) {
      const size_t dash = span.find('-');
      s.crossings.emplace_back(std::stoul(span.substr(0, dash)), std::stoul(span.substr(dash + 1)));
    }
    s.file = folder + "/" + s.file;
    if (s.mask != "-") s.mask = folder + "/" + s.mask;
    scenes.push_back(s);
  }
  return scenes;
}

Outcome Run(const Scene& scene, const Setup& setup, bool trace) {
  AppSettings = typVardocam{};
  AppSettings.USESOUND = true;
  AppSettings.USEMAIL = true;
  AppSettings.USE_OOTSU = true;
  AppSettings.MOVEBORDER = 4;
  AppSettings.START_MOVE_OBJECT = 0;
  AppSettings.CHECK_INTERVAL = 1;
  AppSettings.REFERENCE_INTERVAL = setup.interval;
  AppSettings.LIGHTING_CUTOFF = setup.lightingCutoff;
  AppSettings.MOTION_FRAMES = setup.motionFrames;
  AppSettings.MAIL_COOLDOWN = setup.mailCooldown;
  if (setup.useMask && scene.mask != "-") AppSettings.MASK_FILE = scene.mask;
  AppSettings.PERSON_CHECK = setup.personCheck;

  Timer timer;
  Pump pump;
  Sound sound;
  Mail mail;
  Alarms alarms;
  MonitoringCycle cycle(timer, pump, sound, mail);
  auto owned = std::make_unique<SceneCamera>();
  SceneCamera* camera = owned.get();
  cycle.SetCamera(std::move(owned));
  cycle.AddEventListener(&alarms);
  if (setup.personCheck)
    cycle.SetPersonDetectorFactory(
        [](std::string* why) -> std::unique_ptr<IPersonDetector> {
          std::unique_ptr<IPersonDetector> inner = MakePersonDetector(why);
          if (!inner) return nullptr;
          return std::make_unique<PacedPersonDetector>(std::move(inner));
        },
        kLockstepChecksPerSecond);
  gClock.now = kStartTick - kCaptureIntervalMs;
  cycle.StartMonitoring();

  cv::VideoCapture video(scene.file);
  cv::Mat frame;
  double tickCpuMs = 0, decodeCpuMs = 0;
  for (int i = 0;; ++i) {
    const double decodeBefore = ThreadCpuMs();
    if (!video.read(frame)) break;
    decodeCpuMs += ThreadCpuMs() - decodeBefore;
    const uint32_t frameTime = kStartTick + static_cast<uint32_t>(int64_t{i} * 1000 / scene.fps);
    // The capture timer keeps firing between frames; those ticks have no
    // new frame.
    while (gClock.now + kCaptureIntervalMs < frameTime) {
      gClock.now += kCaptureIntervalMs;
      cycle.CaptureTimerTimer();
    }
    gClock.now = frameTime;
    camera->Serve(frame);
    const double cpuBefore = ThreadCpuMs();
    cycle.CaptureTimerTimer();
    tickCpuMs += ThreadCpuMs() - cpuBefore;
    // The check answers before the next frame, as at one check a second
    // in real time it would.
    for (int waited = 0; !cycle.PersonCheckIdle(); waited += kIdlePollUs) {
      if (waited >= kIdleWaitLimitMs * 1000) {
        std::fprintf(stderr, "%s: the person check did not answer within %d ms\n", scene.name.c_str(),
                     kIdleWaitLimitMs);
        break;
      }
      usleep(kIdlePollUs);
    }
    if (trace)
      std::fprintf(stderr, "%s %u ms: %d %%\n", scene.name.c_str(), frameTime - kStartTick,
                   camera->Detector()->LastChangedPercentage());
  }
  cycle.RemoveEventListener(&alarms);

  Outcome outcome;
  outcome.mails = mail.mails;
  outcome.runMs = gClock.now - kStartTick;
  outcome.tickCpuMs = tickCpuMs;
  outcome.decodeCpuMs = decodeCpuMs;
  outcome.checkCpuMs = cycle.PersonCheckCpuMs();
  if (!alarms.starts.empty()) outcome.firstAlarmMs = alarms.starts.front() - kStartTick;
  for (size_t a = 0; a < alarms.starts.size(); ++a)
    outcome.inAlarmMs += (a < alarms.ends.size() ? alarms.ends[a] : gClock.now) - alarms.starts[a];
  std::vector<bool> hit(scene.crossings.size(), false);
  for (uint32_t start : alarms.starts) {
    const uint32_t t = start - kStartTick;
    bool matched = false;
    for (size_t c = 0; c < scene.crossings.size(); ++c)
      if (t >= scene.crossings[c].first && t <= scene.crossings[c].second + kTrueAlarmSlackMs) {
        hit[c] = true;
        matched = true;
      }
    (matched ? outcome.trueAlarms : outcome.falseAlarms)++;
  }
  outcome.crossingsAlarmed = static_cast<int>(std::count(hit.begin(), hit.end(), true));
  return outcome;
}

// footage.txt: name file fps people (1: someone in view the whole run).
std::vector<Scene> ReadFootage(const std::string& folder) {
  std::vector<Scene> clips;
  std::ifstream listing(folder + "/footage.txt");
  std::string line;
  while (std::getline(listing, line)) {
    std::istringstream in(line);
    Scene s;
    int people = 0;
    if (!(in >> s.name >> s.file >> s.fps >> people)) continue;
    s.file = folder + "/" + s.file;
    if (people) s.crossings.emplace_back(0, UINT32_MAX / 2);
    clips.push_back(s);
  }
  return clips;
}

// Per clip: in alarm (share of the run), first alarm, alarms; for the
// person check also its processor time against the classic ticks'.
void PrintFootage(const std::vector<Scene>& clips, const char* only) {
  const Setup setups[] = {
      {"classic (MOVEBORDER 4)", 80, 0, 0, 0, false},
      {"LIGHTING_CUTOFF 15", 80, 15, 0, 0, false},
      {"PERSON_CHECK 1", 80, 0, 0, 0, false, true},
  };
  std::printf("| clip |");
  for (const Setup& s : setups) std::printf(" %s: in alarm, first, alarms |", s.name);
  std::printf(" CPU check on / off (decoding + ticks + checks / without the check) |\n|---|");
  for (size_t i = 0; i <= std::size(setups); ++i) std::printf("---|");
  std::printf("\n");
  for (const Scene& clip : clips) {
    if (only && clip.name != only) continue;
    std::printf("| %s |", clip.name.c_str());
    double classicCpu = 0;  // decoding and ticks
    for (const Setup& setup : setups) {
      const Outcome o = Run(clip, setup, only != nullptr);
      if (!setup.personCheck && setup.lightingCutoff == 0) classicCpu = o.decodeCpuMs + o.tickCpuMs;
      std::printf(" %.0f %%, %s, %d |", 100.0 * o.inAlarmMs / std::max<uint32_t>(o.runMs, 1),
                  o.firstAlarmMs < 0 ? "-" : (std::to_string(o.firstAlarmMs / 100 / 10.0).substr(0, 4) + " s").c_str(),
                  o.trueAlarms + o.falseAlarms);
      if (setup.personCheck)
        std::printf(" %.2f (%.0f + %.0f + %.0f ms / %.0f ms) |",
                    (o.decodeCpuMs + o.tickCpuMs + o.checkCpuMs) / std::max(classicCpu, 1e-3), o.decodeCpuMs,
                    o.tickCpuMs, o.checkCpuMs, classicCpu);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
}
// Per scene and set of settings: crossings alarmed, true and false alarms, mails.
void PrintScenes(const std::vector<Scene>& scenes, const char* only) {
  const Setup setups[] = {
      // The previous frame, nothing else: the detector as it was.
      {"as before", 0, 0, 0, 0, false},
      // What a stored file without the new values gets.
      {"new default (80 ms)", 80, 0, 0, 0, false},
      // Lighting cutoff 15 %, the scene's mask, alert mails 60 s apart.
      {"suited", 80, 15, 0, 60, true},
      {"suited, 2 frames in a row", 80, 15, 2, 60, true},
      {"suited, 200 ms", 200, 15, 0, 60, true},
      // Only the person check, as a user who ticks its one box gets it.
      {"person check", 80, 0, 0, 0, false, true},
  };
  std::printf("| scene | frames |");
  for (const Setup& s : setups) std::printf(" %s |", s.name);
  std::printf("\n|---|---|");
  for (size_t i = 0; i < std::size(setups); ++i) std::printf("---|");
  std::printf("\n");
  for (const Scene& scene : scenes) {
    if (only && scene.name != only) continue;
    std::printf("| %s | %d |", scene.name.c_str(), scene.frames);
    for (const Setup& setup : setups) {
      const Outcome o = Run(scene, setup, only && scene.name == only);
      if (scene.crossings.empty())
        std::printf(" -, %d, %d, %d |", o.trueAlarms, o.falseAlarms, o.mails);
      else
        std::printf(" %d/%zu, %d, %d, %d |", o.crossingsAlarmed, scene.crossings.size(), o.trueAlarms,
                    o.falseAlarms, o.mails);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
}
} // namespace

int main(int argc, char** argv) {
  const bool footage = argc == 3 && std::string(argv[1]) == "--footage";
  if (argc != 2 && !footage) {
    std::fprintf(stderr,
                 "usage: %s SCENE_FOLDER (made by bench/scenes/make_scenes.py)\n"
                 "       %s --footage FOOTAGE_FOLDER (made by bench/footage/make_footage.py)\n",
                 argv[0], argv[0]);
    return 2;
  }
  const std::string folder = std::filesystem::absolute(argv[argc - 1]).string();
  const std::vector<Scene> scenes = footage ? ReadFootage(folder) : ReadScenes(folder);
  if (scenes.empty()) {
    // The footage is made where opencv-doc is installed; without it there is none.
    std::fprintf(stderr, "no %s in %s/%s; skipped\n", footage ? "footage" : "scenes", folder.c_str(),
                 footage ? "footage.txt" : "scenes.txt");
    return footage ? 0 : 1;
  }
  // The frame file goes where the program writes it: the working folder.
  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("vardocam-scenes-" + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  std::filesystem::current_path(work);
  InstallClock(&gClock);
  cv::setNumThreads(1);  // as the program runs: each thread's time is its own
  // VARDOCAM_SCENE=name runs that scene alone and traces each frame's change.
  const char* only = std::getenv("VARDOCAM_SCENE");
  if (footage) PrintFootage(scenes, only);

  else
    PrintScenes(scenes, only);
  InstallClock(nullptr);
  std::filesystem::current_path("/");
  std::filesystem::remove_all(work);
  return 0;
}
