#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "vision/PersonCheck.h"

// With person confirmation, every frame with motion is offered to the check
// for this long after the motion began; motion that goes on without a
// person is said once then, and raises nothing. Long enough for someone to
// walk into a doorway.
constexpr uint32_t kPersonCheckWindowMs = 10000;
// After that, motion that goes on (a tree in the wind all afternoon) is
// checked again this often, so a person who walks into it is still found,
// at a fraction of the cost.
constexpr uint32_t kPersonRecheckMs = 3000;
// A person counts when found twice this close together: someone who came
// stays in view for more than a check, while a pattern of leaves or light
// that happens to look like a person rarely does twice running.
constexpr uint32_t kPersonConfirmSpanMs = 4000;
// A person found confirms the motion for this long; after that the motion
// must show a person again. Leaves that go on waving after the person left
// raise no more alarms. Within the episode that confirmed someone, one find
// is enough again, and every frame is offered until it comes: at night a
// check finds the person who is there about every other time.
constexpr uint32_t kPersonHoldMs = 10000;
// The picture's light is judged this often, motion or not: a night too
// dark for the check may be too dark for motion to show at all, and is
// said rather than passed over in silence.
constexpr uint32_t kPersonLightCheckMs = 10000;

// Something the cycle says about a motion episode.
struct PersonEvent {
  enum class Kind { PersonDetected, MotionWithoutPerson, CheckUnknown, PoorLight };
  Kind kind = Kind::MotionWithoutPerson;
  cv::Rect box;     // PersonDetected: where, in frame pixels
  std::string why;  // CheckUnknown, PoorLight: the reason, in Japanese
};

// The notice for a check that could not answer, with its reason.
std::string PersonUnknownNotice(const std::string& why);
// The notice for a picture too dark or too flat for the check, with why.
std::string PersonLightNotice(const std::string& why);

// What the first step of a tick decided.
struct PersonStep {
  bool clearChecks = false;  // an episode ended: what the check holds is of the past
  bool submit = false;       // hand this tick's frame to the check
  bool judgeLight = false;   // judge this tick's frame's light and tell Light
};

// Decides, for the monitoring cycle, whether motion counts when a person
// must be seen in it: which frames go to the check, what its verdicts make
// of the motion episode, and what is said. Runs no check and says nothing
// itself. Times are 32-bit tick-counter values; differences wrap.
//
// Each tick calls Motion, then Verdict for each verdict taken from the
// check, then Confirmed.
class PersonConfirm {
public:
  // A monitoring start: no episode, and a check that cannot answer is said
  // again.
  void Start();
  // This tick's motion (after the frame count). `canSubmit`: the warm-up
  // has passed.
  PersonStep Motion(uint32_t now, bool newFrame, bool detected, bool canSubmit);
  void Verdict(PersonVerdict verdict, uint32_t now);
  // Why the frame's light is too poor for the check (empty: it is not).
  // Said once a start. The check goes on answering: what it finds still
  // counts, and a tree in the dark raises nothing.
  void Light(const std::string& problem);
  // Whether this tick's motion counts. `classic`: it also passes the
  // threshold used without the check, which is what counts while the
  // check cannot answer.
  bool Confirmed(uint32_t now, bool detected, bool classic);

  std::vector<PersonEvent> TakeEvents();
  // The person confirmed in this episode, while held: for the alert mail
  // and the event archive.
  const std::optional<PersonFound>& Person() const { return person_; }
  bool InEpisode() const { return episode_; }

private:
  void Say(PersonEvent::Kind kind, cv::Rect box = {}, std::string why = {});

  std::vector<PersonEvent> events_;
  bool episode_ = false;
  uint32_t episodeStart_ = 0;
  uint32_t lastMotion_ = 0;
  uint32_t lastSubmit_ = 0;
  bool lightJudged_ = false;
  bool lightSaid_ = false;  // since the start
  uint32_t lightJudgedAt_ = 0;
  uint32_t foundAt_ = 0;
  bool foundNow_ = false;  // confirmed by a verdict of this tick
  bool seenOnce_ = false;  // found once, waiting for a second find
  bool confirmedBefore_ = false;  // a person was confirmed in this episode
  uint32_t seenAt_ = 0;
  bool withoutPersonSaid_ = false;
  // The check's last verdict in this episode was Unknown: motion counts as
  // without the check until it answers again.
  bool unknown_ = false;
  bool unknownSaid_ = false;  // since the start
  std::optional<PersonFound> person_;
};
