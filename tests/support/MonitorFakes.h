#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "monitor/MonitorCamera.h"
#include "monitor/MonitorServices.h"
#include "platform/Sound.h"
#include "settings/Vardocamdef.h"

// Stand-ins for the services the monitoring cycle uses; each records what
// happened to it in one shared log, so tests can check the order of calls.
using CallLog = std::vector<std::string>;

class FakeTimer : public IMonitorTimer {
public:
  void SetEnabled(bool enabled) override { enabled_ = enabled; }
  bool Enabled() const override { return enabled_; }

private:
  bool enabled_ = false;
};

// Runs the given action (a user's click, a close) inside the pump.
class FakePump : public IMessagePump {
public:
  explicit FakePump(CallLog& log) : log_(log) {}
  void ProcessMessages() override {
    log_.push_back("pump");
    if (action) {
      auto once = std::move(action);
      action = nullptr;
      once();
    }
  }
  std::function<void()> action;

private:
  CallLog& log_;
};

class RecordingSound : public ISoundPlayer {
public:
  explicit RecordingSound(CallLog& log) : log_(log) {}
  void Play(const std::string& name) override {
    log_.push_back("play " + name);
    ++plays;
  }
  void Stop() override {
    log_.push_back("stop");
    ++stops;
  }
  int plays = 0;
  int stops = 0;

private:
  CallLog& log_;
};

// The mail's context as the cycle would make it now, without a picture.
inline MailContext ContextOfNow(const cv::Mat& picture = cv::Mat()) { return MailContext{AppSettings, picture}; }

class RecordingMail : public IMonitorMail {
public:
  explicit RecordingMail(CallLog& log) : log_(log) {}
  MailResult SendAlertMail(const MailContext&) override {
    log_.push_back("alert mail");
    ++alerts;
    if (onAlert) onAlert();
    return alertResult;
  }
  MailResult SendPersonAlertMail(const MailContext&, const PersonFound& person) override {
    log_.push_back("person mail");
    ++alerts;
    personBox = person.box;
    return alertResult;
  }
  MailResult SendHealthMail(const MailContext&, const std::string& subject,
                            const std::vector<std::string>&) override {
    log_.push_back("health mail " + subject);
    return {};
  }
  RequestCheckResult CheckRequestMail(const MailContext&) override {
    log_.push_back("check mail");
    ++checks;
    if (onCheck) onCheck();
    return {};
  }
  MailResult SendTestMail(const MailContext&) override {
    log_.push_back("test mail");
    return testResult;
  }
  MailResult testResult;   // what the test alarm's mail answers
  int alerts = 0;
  int checks = 0;
  int pendingTurns = 0;  // turns given to kept mails
  PendingMailReport DeliverPending(const MailContext&) override {
    ++pendingTurns;
    return {};
  }
  MailResult alertResult;  // what every alert mail answers
  cv::Rect personBox;      // of the last person alert
  std::function<void()> onAlert;
  std::function<void()> onCheck;

private:
  CallLog& log_;
};

// A camera whose detector reports what the test says. Like the real one,
// opening it clears the reference, so the next comparison finds no motion.
class ScriptedCamera : public IMonitorCamera {
public:
  ScriptedCamera(CallLog& log, bool* destroyed = nullptr) : log_(log), destroyed_(destroyed) {}
  ~ScriptedCamera() override {
    if (destroyed_) *destroyed_ = true;
  }

  bool OpenCamera(int32_t n, const std::string& url) override {
    log_.push_back("open " + std::to_string(n));
    ++opens;
    lastUrl = url;
    hasReference_ = false;
    return openResult;
  }
  void CloseCamera() override { log_.push_back("close"); }
  bool HasNewFrame() override { return newFrame; }
  bool GrabFrameToFile(const std::string& path) override {
    log_.push_back("grab " + path);
    return grabResult;
  }
  FrameTake GrabFrame(const std::string& path) override {
    if (writable) return IMonitorCamera::GrabFrame(path);
    log_.push_back("grab " + path);
    return FrameTake::NotWritten;
  }
  bool LoadFrame(const std::string& path) override {
    log_.push_back("load " + path);
    return loadResult;
  }
  bool ConvertToGrey() override {
    log_.push_back("grey");
    return true;
  }
  bool Binarize(int32_t t) override {
    log_.push_back("binarize " + std::to_string(t));
    return true;
  }
  bool DetectMotion(int32_t border, uint32_t frameTimeMs, const MotionOptions& options) override {
    log_.push_back("detect " + std::to_string(border));
    lastFrameTimeMs = frameTimeMs;
    lastOptions = options;
    ++detections;
    const bool first = !hasReference_;
    hasReference_ = true;
    return !first && motion;
  }
  bool ShowFrame() override {
    log_.push_back("show");
    return true;
  }
  nsOpenCV* Detector() override { return nullptr; }

  bool openResult = true;
  bool newFrame = true;
  bool grabResult = true;
  bool writable = true;  // false: the frame file cannot be written
  bool loadResult = true;
  bool motion = false;
  int opens = 0;
  std::string lastUrl;
  int detections = 0;
  uint32_t lastFrameTimeMs = 0;
  MotionOptions lastOptions;

private:
  CallLog& log_;
  bool* destroyed_;
  bool hasReference_ = false;
};
