#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "vision/MotionRegion.h"

// Person confirmation: a detection raises the alarm only when a person is
// found near where the picture changed. The check is far slower than a
// tick, so it runs beside the tick on a worker of its own.

// Checks run at most this often: the newest candidate replaces one that
// has not been checked yet, so nothing queues up behind a slow check. A
// check takes about 20 to 30 ms of processor time at 640 x 480 (at most
// about 35): once a second keeps it near 3 % of a core, half what the
// monitoring itself takes.
constexpr int kMaxPersonChecksPerSecond = 1;
// Verdicts not yet taken (a person found and its frame, nobody, unknown)
// that are kept at most; the oldest goes first, so a cycle that stops
// asking holds no growing pile of frames.
constexpr size_t kMaxPersonsKept = 8;

// A frame in which something moved, handed to the worker.
struct PersonCandidate {
  cv::Mat frame;          // 8-bit B, G, R; the worker's own copy
  MotionRegions regions;  // where it moved, in frame pixels
  uint32_t frameTimeMs = 0;  // tick counter when the frame was taken
};

// A person found: the frame, the person's box in it, the frame's time.
struct PersonFound {
  cv::Mat frame;
  cv::Rect box;
  uint32_t frameTimeMs = 0;
};

// What one check answered. A check that could not look is Unknown, never
// Nobody: a broken detector must not read as an empty scene.
enum class PersonAnswer { Found, Nobody, Unknown };

struct PersonVerdict {
  PersonAnswer answer = PersonAnswer::Nobody;
  // The box when found; the frame (when found) and its time as submitted.
  PersonFound person;
  std::string why;  // Unknown: why, in Japanese
};

// Why a picture cannot be checked (empty, or not 8-bit with 1 or 3
// channels), in Japanese; empty when it can.
std::string PersonPictureProblem(const cv::Mat& frame);

// Finds a person in a still picture near the regions that moved.
class IPersonDetector {
public:
  virtual ~IPersonDetector() = default;
  // The box of the person found (frame pixels), or nothing.
  virtual std::optional<cv::Rect> Find(const cv::Mat& frame, const MotionRegions& regions) = 0;
  // Found with its box, nobody, or unknown with why. By default Find's
  // answer; what Find throws reaches the caller, which makes it Unknown.
  virtual PersonVerdict Check(const cv::Mat& frame, const MotionRegions& regions);
};

// OpenCV's own detector, with what Debian ships. Nothing when it cannot
// be made; `why` then says so in words a user can act on.
std::unique_ptr<IPersonDetector> MakePersonDetector(std::string* why);

// One worker thread that checks the newest candidate and keeps a verdict
// for each check. Submit and the Take calls never wait for a check; Stop
// ends the worker, waiting at most for the one check in progress.
class PersonCheckWorker {
public:
  // A rate other than kMaxPersonChecksPerSecond serves tests only.
  explicit PersonCheckWorker(std::unique_ptr<IPersonDetector> detector,
                             int maxChecksPerSecond = kMaxPersonChecksPerSecond);
  ~PersonCheckWorker();
  PersonCheckWorker(const PersonCheckWorker&) = delete;
  PersonCheckWorker& operator=(const PersonCheckWorker&) = delete;

  // Replaces any candidate not yet taken up.
  void Submit(PersonCandidate candidate);
  // Drops what is waiting and the verdicts kept (a new motion episode).
  void Clear();
  // The oldest verdict kept, if any.
  std::optional<PersonVerdict> TakeVerdict();
  // The oldest person found, dropping the verdicts kept before it.
  std::optional<PersonFound> TakeFound();
  void Stop();

  uint64_t ChecksRun() const;
  // Nothing waits and no check is under way: a run in fake time steps on
  // only then.
  bool Idle() const;
  // Processor time the checks took, in milliseconds (the worker thread's).
  double CheckCpuMs() const;

private:
  struct State;
  std::unique_ptr<State> state_;
};
