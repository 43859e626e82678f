#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "monitor/MonitorEvents.h"

// The camera gave no frame for this long: worth a mail, where the status
// line's lost camera (10 s) is only worth a line.
constexpr uint32_t kHealthNoFrameMinutes = 5;
// The view is judged on small grey pictures taken at most this often, so
// it costs nothing next to the motion detection of every frame.
constexpr uint32_t kHealthSampleMs = 1000;
constexpr int kHealthThumbWidth = 64;
constexpr int kHealthThumbHeight = 48;
// A pixel of the small picture changed when it differs by more than this
// (grey levels, 0-255) once both pictures' mean brightness is taken off, so
// the light going on or the sun coming out does not count.
constexpr float kHealthPixelChange = 25;
// A picture this flat (standard deviation in grey levels) shows nothing:
// against a picture with detail it counts as wholly changed.
constexpr double kHealthFlatDeviation = 6;
// The view looks covered or turned when at least this share of the small
// picture changed against the picture from before...
constexpr double kHealthCoveredShare = 0.60;
// ...and the new picture stayed put this long: at most this share of it
// moves from one sample to the next. Someone walking through does not.
constexpr double kHealthSteadyShare = 0.10;
constexpr uint32_t kHealthSteadyMs = 30 * 1000;
// While the view is normal the picture from before takes this much of each
// sample, following daylight over minutes.
constexpr double kHealthReferenceBlend = 0.05;
// Health mails never come faster than this, whatever flaps.
constexpr int kMaxHealthMailsPerHour = 4;
constexpr uint32_t kHealthCapWindowMs = 60 * 60 * 1000;

enum class HealthProblem { NoFrames, ViewChanged, ArchiveFull };
constexpr size_t kHealthProblemCount = 3;
static_assert(static_cast<size_t>(HealthProblem::ArchiveFull) + 1 == kHealthProblemCount, "one per problem");

// One health mail: the problem began, or it ended.
struct HealthMail {
  HealthProblem problem = HealthProblem::NoFrames;
  bool recovered = false;
  std::string detail;  // the archive's own words, for its floor
};

// Japanese subject and body lines of a health mail.
std::string HealthMailSubject(const HealthMail& mail);
std::vector<std::string> HealthMailBody(const HealthMail& mail);

// Watches the camera's health from the monitoring cycle: frames that stop,
// a view that became wholly different and stayed so, the events disk at
// its floor (heard as an event). Decides which mails are due; sends none.
class HealthWatch : public IMonitorEvents {
public:
  void Start(uint32_t now);
  // Every tick, with whether it brought a new frame.
  void Tick(uint32_t now, bool newFrame);
  // A new frame's picture (colour or grey); sampled at most once a second.
  void Frame(const cv::Mat& picture, uint32_t now);
  // Hears the events disk's floor.
  void On(const MonitorEvent& event) override;

  // The mails due now, within the hourly cap; `heldBack` counts those that
  // went over it and are not sent. A recovery whose problem was mailed goes
  // out over the cap.
  std::vector<HealthMail> TakeMails(uint32_t now, int* heldBack);

private:
  void Sample(const cv::Mat& thumb, uint32_t now);

  std::vector<HealthMail> pending_;
  std::deque<uint32_t> sent_;
  // Per HealthProblem: its last mail said it began.
  std::array<bool, kHealthProblemCount> told_{};
  uint32_t lastFrame_ = 0;
  bool lost_ = false;
  bool sampled_ = false;
  uint32_t lastSample_ = 0;
  cv::Mat reference_;  // CV_32F thumbnails
  cv::Mat candidate_;
  uint32_t candidateSince_ = 0;
  bool covered_ = false;
  bool archiveLow_ = false;
};
