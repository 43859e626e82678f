// Runs the real detector and the real monitoring cycle over the generated
// scenes (bench/scenes/make_scenes.py) at each scene's own frame times, with
// a clock that the program moves, and prints per scene and set of settings:
// crossings that raised an alarm, true and false alarms, and alert mails.
//   detection_scenes SCENE_FOLDER
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

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
class Alarms : public IMonitorEvents {
public:
  void On(const MonitorEvent& e) override {
    if (e.kind == MonitorEvent::Kind::AlarmStarted) starts.push_back(gClock.now);
    // VARDOCAM_SCENE's trace names where a person was found.
    if (e.kind == MonitorEvent::Kind::PersonDetected && std::getenv("VARDOCAM_SCENE"))
      std::fprintf(stderr, "%u ms: person at %d,%d %dx%d\n", gClock.now - kStartTick, e.box.x, e.box.y,
                   e.box.width, e.box.height);
    // A mask or a person detector the run could not have changes its
    // figures: said, so a table from a crippled run is not taken as one.
    if (e.kind == MonitorEvent::Kind::Notice) std::fprintf(stderr, "%s\n", e.text.c_str());
  }
  std::vector<uint32_t> starts;
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
  // The person check runs beside the tick in real time, so these runs are
  // paced like a live camera: a frame every 1/fps seconds.
  bool personCheck = false;
};

struct Outcome {
  int crossingsAlarmed = 0, trueAlarms = 0, falseAlarms = 0, mails = 0;
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
  gClock.now = kStartTick - kCaptureIntervalMs;
  cycle.StartMonitoring();

  cv::VideoCapture video(scene.file);
  cv::Mat frame;
  for (int i = 0; video.read(frame); ++i) {
    const uint32_t frameTime = kStartTick + static_cast<uint32_t>(int64_t{i} * 1000 / scene.fps);
    // The capture timer keeps firing between frames; those ticks have no
    // new frame.
    while (gClock.now + kCaptureIntervalMs < frameTime) {
      gClock.now += kCaptureIntervalMs;
      cycle.CaptureTimerTimer();
    }
    gClock.now = frameTime;
    camera->Serve(frame);
    cycle.CaptureTimerTimer();
    if (setup.personCheck) usleep(static_cast<useconds_t>(1000000 / scene.fps));
    if (trace)
      std::fprintf(stderr, "%s %u ms: %d %%\n", scene.name.c_str(), frameTime - kStartTick,
                   camera->Detector()->LastChangedPercentage());
  }
  cycle.RemoveEventListener(&alarms);

  Outcome outcome;
  outcome.mails = mail.mails;
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
} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SCENE_FOLDER (made by bench/scenes/make_scenes.py)\n", argv[0]);
    return 2;
  }
  const std::string folder = std::filesystem::absolute(argv[1]).string();
  const std::vector<Scene> scenes = ReadScenes(folder);
  if (scenes.empty()) {
    std::fprintf(stderr, "no scenes in %s/scenes.txt\n", folder.c_str());
    return 1;
  }
  // The frame file goes where the program writes it: the working folder.
  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("vardocam-scenes-" + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  std::filesystem::current_path(work);
  InstallClock(&gClock);

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
  // VARDOCAM_SCENE=name runs that scene alone and traces each frame's change.
  const char* only = std::getenv("VARDOCAM_SCENE");
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
  InstallClock(nullptr);
  std::filesystem::current_path("/");
  std::filesystem::remove_all(work);
  return 0;
}
