#include "monitor/PersonConfirm.h"

#include <utility>

#include "monitor/MotionEpisode.h"

std::string PersonUnknownNotice(const std::string& why) {
  return "人物の確認ができませんでした(" + why + ")。確認できない間は、人物の確認なしで動きだけで警報を出します。";
}

std::string PersonLightNotice(const std::string& why) {
  return why + "。人物の確認は続けますが、人物を見落とすことがあります。";
}

void PersonConfirm::Start() {
  events_.clear();
  episode_ = false;
  foundNow_ = false;
  seenOnce_ = false;
  confirmedBefore_ = false;
  withoutPersonSaid_ = false;
  unknown_ = false;
  unknownSaid_ = false;
  lightJudged_ = false;
  lightSaid_ = false;
  person_.reset();
}

void PersonConfirm::Say(PersonEvent::Kind kind, cv::Rect box, std::string why) {
  events_.push_back({kind, box, std::move(why)});
}

// Frames with motion go to the check for the first kPersonCheckWindowMs of
// an episode, then one every kPersonRecheckMs (the check keeps the newest
// and drops the others); its verdicts come back on later ticks.
PersonStep PersonConfirm::Motion(uint32_t now, bool newFrame, bool detected, bool canSubmit) {
  PersonStep step;
  foundNow_ = false;
  if (newFrame && (!lightJudged_ || now - lightJudgedAt_ >= kPersonLightCheckMs)) {
    step.judgeLight = true;
    lightJudged_ = true;
    lightJudgedAt_ = now;
  }
  if (episode_ && now - lastMotion_ > kMotionQuietMs) {
    // An episode the check could not judge is not said to be without a person.
    if (!person_ && !withoutPersonSaid_ && !unknown_) Say(PersonEvent::Kind::MotionWithoutPerson);
    episode_ = false;
    person_.reset();
    seenOnce_ = false;
    confirmedBefore_ = false;
    unknown_ = false;
    step.clearChecks = true;
  }
  if (seenOnce_ && now - seenAt_ > kPersonConfirmSpanMs) seenOnce_ = false;
  if (person_ && now - foundAt_ > kPersonHoldMs) {
    person_.reset();
    lastSubmit_ = now - kPersonRecheckMs;  // look again at once
  }
  if (detected) {
    if (!episode_) {
      episode_ = true;
      episodeStart_ = now;
      withoutPersonSaid_ = false;
    }
    lastMotion_ = now;
    const bool offered = now - episodeStart_ <= kPersonCheckWindowMs || seenOnce_ || confirmedBefore_ ||
                         now - lastSubmit_ >= kPersonRecheckMs;
    if (newFrame && !person_ && offered && canSubmit) {
      step.submit = true;
      lastSubmit_ = now;
    }
  }
  return step;
}

// A person counts when found twice within kPersonConfirmSpanMs, or once
// more in an episode that confirmed one already. Any answer
// ends the fallback of an Unknown one; verdicts outside an episode were
// for motion that is over.
void PersonConfirm::Verdict(PersonVerdict verdict, uint32_t now) {
  if (!episode_) return;
  switch (verdict.answer) {
  case PersonAnswer::Found:
    unknown_ = false;
    if (person_) break;
    if (!seenOnce_ && !confirmedBefore_) {
      seenOnce_ = true;
      seenAt_ = now;
      break;
    }
    seenOnce_ = false;
    confirmedBefore_ = true;
    Say(PersonEvent::Kind::PersonDetected, verdict.person.box);
    person_ = std::move(verdict.person);
    foundAt_ = now;
    foundNow_ = true;
    break;
  case PersonAnswer::Nobody: unknown_ = false; break;
  case PersonAnswer::Unknown:
    unknown_ = true;
    if (!unknownSaid_) {
      unknownSaid_ = true;
      Say(PersonEvent::Kind::CheckUnknown, {}, std::move(verdict.why));
    }
    break;
  }
}

void PersonConfirm::Light(const std::string& problem) {
  if (problem.empty() || lightSaid_) return;
  lightSaid_ = true;
  Say(PersonEvent::Kind::PoorLight, {}, problem);
}

// True while a person found in this episode goes on moving, or while the
// check cannot answer and the motion would alarm without it.
bool PersonConfirm::Confirmed(uint32_t now, bool detected, bool classic) {
  if (episode_ && !person_ && !unknown_ && !withoutPersonSaid_ && now - episodeStart_ > kPersonCheckWindowMs) {
    withoutPersonSaid_ = true;
    Say(PersonEvent::Kind::MotionWithoutPerson);
  }
  if (person_) return detected || foundNow_;
  return unknown_ && classic;
}

std::vector<PersonEvent> PersonConfirm::TakeEvents() { return std::exchange(events_, {}); }
