#include "session/ArmController.h"

#include <algorithm>

namespace {
constexpr std::time_t kSecondsPerMinute = 60;
constexpr int64_t kMsPerSecond = 1000;

bool Same(const ArmState& a, const ArmState& b) {
  return a.armed == b.armed && a.by == b.by && a.untilEpochS == b.untilEpochS;
}
} // namespace

uint32_t NextCameraRetryWait(uint32_t waitMs) {
  return static_cast<uint32_t>(
      std::clamp<uint64_t>(uint64_t{waitMs} * 2, kCameraRetryFirstMs, kCameraRetryMaxMs));
}

ArmController::ArmController(ArmHost host, IMonitorEvents& events)
    : host_(std::move(host)), events_(events) {
  if (!host_.now) host_.now = [] { return std::time(nullptr); };
  if (!host_.inTick) host_.inTick = [] { return false; };
  state_.armed = host_.monitoring && host_.monitoring();
  told_ = state_;
  timer_.setSingleShot(true);
  timer_.setObjectName("ArmTimer");
  QObject::connect(&timer_, &QTimer::timeout, [this] { Check(); });
}

bool ArmController::ApplySchedule(const std::string& text) {
  std::string why;
  std::optional<ArmSchedule> parsed = ArmSchedule::Parse(text, &why);
  if (!parsed) {
    if (badScheduleSaid_ != text)
      events_.On(MonitorEvent::Notice("監視する時間帯の設定を読めないため、予定なしで動きます: " + why));
    badScheduleSaid_ = text;
    parsed = ArmSchedule();
  }
  schedule_ = *parsed;
  const std::time_t now = host_.now();
  if (schedule_.Empty()) {
    // What held until an edge now holds, as the buttons always did.
    holdUntil_ = 0;
    retrying_ = false;
    if (snoozeEnd_ == 0) Set(state_.armed, state_.by, 0, nullptr);
    Reschedule();
    return false;
  }
  snoozeEnd_ = 0;
  FollowSchedule(now);
  return true;
}

std::time_t ArmController::HoldUntil(std::time_t now) const { return schedule_.NextEdge(now); }

void ArmController::FollowSchedule(std::time_t now) {
  Set(schedule_.ArmedAt(now), ArmedBy::Schedule, HoldUntil(now), nullptr);
}

bool ArmController::KeepArmed(std::string* why) {
  snoozeEnd_ = 0;
  return Set(true, ArmedBy::Nobody, HoldUntil(host_.now()), why, true, true);
}

bool ArmController::Arm(ArmedBy by, std::string* why) {
  snoozeEnd_ = 0;
  // The window's buttons act at once, inside a tick too, as they always did.
  return Set(true, by, HoldUntil(host_.now()), why, by == ArmedBy::Button);
}

void ArmController::Disarm(ArmedBy by) {
  snoozeEnd_ = 0;
  Set(false, by, HoldUntil(host_.now()), nullptr, by == ArmedBy::Button);
}

std::time_t ArmController::NextStart() const {
  if (state_.armed) return 0;
  // A snooze that ends before the schedule decides again returns to what was.
  if (snoozeEnd_ != 0 && (holdUntil_ == 0 || snoozeEnd_ < holdUntil_) && snoozeWasArmed_) return snoozeEnd_;
  if (holdUntil_ == 0 || schedule_.Empty()) return 0;
  return schedule_.ArmedAt(holdUntil_) ? holdUntil_ : schedule_.NextEdge(holdUntil_);
}

void ArmController::Snooze(int minutes, ArmedBy by) {
  const std::time_t now = host_.now();
  minutes = std::clamp(minutes, 1, kMaxSnoozeMinutes);
  if (snoozeEnd_ == 0) {
    snoozeWasArmed_ = state_.armed;
    snoozeBy_ = state_.by;
  }
  snoozeEnd_ = now + minutes * kSecondsPerMinute;
  holdUntil_ = HoldUntil(now);
  // An edge of the schedule before the snooze's end takes over there.
  const std::time_t until = holdUntil_ != 0 ? std::min(holdUntil_, snoozeEnd_) : snoozeEnd_;
  Set(false, by, until, nullptr);
}

bool ArmController::Set(bool armed, ArmedBy by, std::time_t until, std::string* why, bool atOnce,
                        bool keepTrying) {
  const ArmState before = state_;
  state_.armed = armed;
  state_.by = by;
  state_.untilEpochS = until;
  if (snoozeEnd_ == 0) holdUntil_ = until;
  if (!armed) retrying_ = false;
  if (armed && !before.armed) retryWaitMs_ = 0;
  bool ok = true;
  if (!atOnce && host_.inTick()) {
    pending_ = true;
  } else {
    std::string failure;
    ok = Realise(&failure);
    if (!ok) {
      if (why) *why = failure;
      if (by == ArmedBy::Schedule || keepTrying) {
        // Wanted on: tried again until it opens.
        RetryLater(failure);
      } else {
        state_ = before;
        if (snoozeEnd_ == 0) holdUntil_ = before.untilEpochS;
      }
    }
  }
  Tell();
  Reschedule();
  return ok;
}

bool ArmController::Realise(std::string* why) {
  pending_ = false;
  if (!host_.monitoring || !host_.start || !host_.stop) return true;
  const bool on = host_.monitoring();
  if (state_.armed == on) {
    retrying_ = false;
    return true;
  }
  realising_ = true;
  bool ok = true;
  if (state_.armed)
    ok = host_.start(why);
  else
    host_.stop();
  realising_ = false;
  if (ok) {
    retrying_ = false;
    retryWaitMs_ = 0;
  }
  return ok;
}

void ArmController::AfterTick() {
  // A tick dropped inside another one ends nothing.
  if (!pending_ || host_.inTick()) return;
  std::string why;
  if (Realise(&why)) return;
  // Asked for inside a tick, the answer could not wait for the camera: it
  // is said now, and the state says what really is.
  if (state_.by == ArmedBy::Schedule) {
    RetryLater(why);
  } else {
    events_.On(MonitorEvent::Notice("監視を開始できません: " + why));
    state_.armed = false;
    Tell();
  }
  Reschedule();
}

void ArmController::Check() {
  const std::time_t now = host_.now();
  if (snoozeEnd_ != 0 && now >= snoozeEnd_ && (holdUntil_ == 0 || snoozeEnd_ < holdUntil_)) {
    snoozeEnd_ = 0;
    Set(snoozeWasArmed_, snoozeWasArmed_ ? snoozeBy_ : state_.by, holdUntil_, nullptr);
    return;
  }
  if (holdUntil_ != 0 && now >= holdUntil_) {
    snoozeEnd_ = 0;
    FollowSchedule(now);
    return;
  }
  if (retrying_ && !pending_ && !host_.inTick()) {
    std::string why;
    if (Realise(&why))
      Tell();
    else
      RetryLater(why);
  }
  Reschedule();
}

void ArmController::RetryLater(const std::string& why) {
  retrying_ = true;
  const uint32_t wait = retryWaitMs_ == 0 ? kCameraRetryFirstMs : NextCameraRetryWait(retryWaitMs_);
  if (wait != retryWaitMs_) events_.On(MonitorEvent::CameraFailed(why, wait));
  retryWaitMs_ = wait;
}

void ArmController::On(const MonitorEvent& event) {
  switch (event.kind) {
  case MonitorEvent::Kind::MonitoringStarted:
    if (!realising_ && !state_.armed) Record(true);
    break;
  case MonitorEvent::Kind::MonitoringStopped:
    if (!realising_ && state_.armed) Record(false);
    break;
  default: break;
  }
}

// Monitoring already is so: only the state follows.
void ArmController::Record(bool armed) {
  snoozeEnd_ = 0;
  retrying_ = false;
  pending_ = false;
  state_.armed = armed;
  state_.by = ArmedBy::Nobody;
  state_.untilEpochS = holdUntil_ = HoldUntil(host_.now());
  Tell();
  Reschedule();
}

void ArmController::Tell() {
  if (Same(state_, told_)) return;
  told_ = state_;
  events_.On(MonitorEvent::ArmChanged(state_));
}

// One timer for whatever comes first: the snooze's end, the edge, the
// camera's next try; never longer than the recheck.
void ArmController::Reschedule() {
  const std::time_t now = host_.now();
  std::time_t next = 0;
  for (std::time_t t : {snoozeEnd_, holdUntil_})
    if (t != 0 && (next == 0 || t < next)) next = t;
  int64_t waitMs = kArmRecheckMs;
  if (next != 0) waitMs = std::clamp<int64_t>((next - now) * kMsPerSecond, 0, kArmRecheckMs);
  if (retrying_) waitMs = std::min<int64_t>(waitMs, retryWaitMs_);
  if (next == 0 && !retrying_) {
    timer_.stop();
    return;
  }
  timer_.start(static_cast<int>(waitMs));
}
