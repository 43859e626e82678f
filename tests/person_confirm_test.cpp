#include <string>

#include <gtest/gtest.h>

#include "monitor/MotionEpisode.h"
#include "monitor/PersonConfirm.h"

namespace {
// Begin starts monitoring; the others are a tick's motion. Fine passes
// only the check's finer threshold, Big the classic one too; Cold is Fine
// before the warm-up has passed.
enum class Move { Begin, NoFrame, Still, Fine, Big, Cold };
enum class Arrives { None, Found, Nobody, Unknown };

const cv::Rect kBox(60, 40, 30, 80);
const std::string kWhy = "検出器が壊れています";

struct Row {
  uint32_t at;
  Move move;
  Arrives verdict;   // taken from the check in this tick
  std::string does;  // clear, submit, what is said, alarm: in that order
  std::string light = {};  // why the frame's light is too poor, when it is judged
};

// What one tick decided, in the order of Row::does.
std::string Tick(PersonConfirm& confirm, const Row& row) {
  const bool frame = row.move != Move::NoFrame;
  const bool detected = row.move == Move::Fine || row.move == Move::Big || row.move == Move::Cold;
  const PersonStep step = confirm.Motion(row.at, frame, detected, row.move != Move::Cold);
  if (step.judgeLight) confirm.Light(row.light);
  if (row.verdict != Arrives::None) {
    PersonVerdict verdict;
    verdict.answer = row.verdict == Arrives::Found    ? PersonAnswer::Found
                     : row.verdict == Arrives::Nobody ? PersonAnswer::Nobody
                                                      : PersonAnswer::Unknown;
    if (row.verdict == Arrives::Found) verdict.person = {cv::Mat(2, 2, CV_8UC3), kBox, row.at};
    if (row.verdict == Arrives::Unknown) verdict.why = kWhy;
    confirm.Verdict(verdict, row.at);
  }
  const bool alarm = confirm.Confirmed(row.at, detected, row.move == Move::Big);
  std::string does;
  const auto add = [&](const std::string& word) { does += (does.empty() ? "" : " ") + word; };
  if (step.clearChecks) add("clear");
  if (step.submit) add("submit");
  for (const PersonEvent& event : confirm.TakeEvents()) {
    if (event.kind == PersonEvent::Kind::PersonDetected) add("person " + std::to_string(event.box.x));
    if (event.kind == PersonEvent::Kind::MotionWithoutPerson) add("no person");
    if (event.kind == PersonEvent::Kind::CheckUnknown) add("unknown " + event.why);
    if (event.kind == PersonEvent::Kind::PoorLight) add("light " + event.why);
  }
  if (alarm) add("alarm");
  return does;
}
} // namespace

// Rows run in order on one decider, in fake time; Begin starts again.
TEST(PersonConfirm, DecidesChecksAlarmsAndWordsTickByTick) {
  // Motion rows are at most kMotionQuietMs apart while an episode lasts.
  const Row rows[] = {
      // Found twice: the second find alarms, held while motion goes on
      // without more checks, then looked for again at once.
      {0, Move::Begin, Arrives::None, ""},
      {1000, Move::Big, Arrives::None, "submit"},
      {1100, Move::Big, Arrives::Found, "submit"},
      {1200, Move::NoFrame, Arrives::Found, "person 60 alarm"},
      {1300, Move::NoFrame, Arrives::None, ""},
      {4000, Move::Big, Arrives::None, "alarm"},
      {7000, Move::Big, Arrives::None, "alarm"},
      {10000, Move::Big, Arrives::None, "alarm"},
      {1200 + kPersonHoldMs, Move::Big, Arrives::None, "alarm"},
      {1201 + kPersonHoldMs, Move::Big, Arrives::None, "submit no person"},  // past the window too

      // Nobody: every frame checked for the window, said once, then one
      // check every kPersonRecheckMs, or every frame after a first find.
      {0, Move::Begin, Arrives::None, ""},
      {50000, Move::Cold, Arrives::None, ""},
      {51000, Move::Fine, Arrives::Nobody, "submit"},
      {54000, Move::Fine, Arrives::None, "submit"},
      {57000, Move::Fine, Arrives::None, "submit"},
      {50000 + kPersonCheckWindowMs, Move::Fine, Arrives::None, "submit"},
      {50001 + kPersonCheckWindowMs, Move::Fine, Arrives::Nobody, "no person"},
      {49999 + kPersonCheckWindowMs + kPersonRecheckMs, Move::Fine, Arrives::None, ""},
      {50000 + kPersonCheckWindowMs + kPersonRecheckMs, Move::Fine, Arrives::None, "submit"},
      {63001, Move::Fine, Arrives::Found, ""},
      {63002, Move::Fine, Arrives::None, "submit"},
      {63003, Move::Fine, Arrives::Found, "submit person 60 alarm"},
      {63003 + kMotionQuietMs, Move::Still, Arrives::None, ""},
      {63004 + kMotionQuietMs, Move::Still, Arrives::None, "clear"},
      {63005 + kMotionQuietMs, Move::NoFrame, Arrives::Found, ""},  // for motion that is over

      // A first find lapses after kPersonConfirmSpanMs, across the
      // counter's wrap; a short episode without a person is said as it ends.
      {0, Move::Begin, Arrives::None, ""},
      {0xFFFFF800u, Move::Fine, Arrives::Found, "submit"},
      {0x100u, Move::Fine, Arrives::None, "submit"},
      {0xFFFFF800u + kPersonConfirmSpanMs, Move::Fine, Arrives::Found, "submit person 60 alarm"},
      {0, Move::Begin, Arrives::None, ""},
      {0xFFFFF800u, Move::Fine, Arrives::Found, "submit"},
      {0x100u, Move::Fine, Arrives::None, "submit"},
      {0xFFFFF801u + kPersonConfirmSpanMs, Move::Fine, Arrives::Found, "submit"},
      {0xFFFFF802u + kPersonConfirmSpanMs + kMotionQuietMs, Move::NoFrame, Arrives::None, "clear no person"},

      // Unknown: said once a start with why; motion counts as it would
      // without the check until the check answers again, and an episode it
      // could not judge is not said to be without a person.
      {0, Move::Begin, Arrives::None, ""},
      {300000, Move::Fine, Arrives::Unknown, "submit unknown " + kWhy},  // too small to alarm
      {300100, Move::Big, Arrives::Unknown, "submit alarm"},
      {300200, Move::Big, Arrives::Nobody, "submit"},
      {303201, Move::NoFrame, Arrives::None, "clear no person"},
      {310000, Move::Big, Arrives::Unknown, "submit alarm"},
      {313001, Move::NoFrame, Arrives::None, "clear"},
      {0, Move::Begin, Arrives::None, ""},
      {320000, Move::Big, Arrives::Unknown, "submit unknown " + kWhy + " alarm"},
      {320100, Move::Big, Arrives::Found, "submit"},

      // Once the hold ran out, the episode that confirmed a person offers
      // every frame and one find confirms again; a new episode needs two.
      {0, Move::Begin, Arrives::None, ""},
      {400000, Move::Big, Arrives::None, "submit"},
      {400100, Move::Big, Arrives::Found, "submit"},
      {400200, Move::NoFrame, Arrives::Found, "person 60 alarm"},
      {403000, Move::Big, Arrives::None, "alarm"},
      {406000, Move::Big, Arrives::None, "alarm"},
      {409000, Move::Big, Arrives::None, "alarm"},
      {400201 + kPersonHoldMs, Move::Big, Arrives::None, "submit no person"},
      {400301 + kPersonHoldMs, Move::Big, Arrives::Nobody, "submit"},
      {400401 + kPersonHoldMs, Move::Big, Arrives::Found, "submit person 60 alarm"},
      {400402 + kPersonHoldMs + kMotionQuietMs, Move::NoFrame, Arrives::None, "clear"},
      {500000, Move::Big, Arrives::Found, "submit"},

      // The light is judged at the first frame and every
      // kPersonLightCheckMs, motion or not; too dark is said once a start,
      // apart from a check that cannot answer, and motion still needs a person.
      {0, Move::Begin, Arrives::None, ""},
      {600000, Move::Still, Arrives::None, "", ""},
      {600000 + kPersonLightCheckMs - 1, Move::Still, Arrives::None, "", "暗い"},
      {600000 + kPersonLightCheckMs, Move::NoFrame, Arrives::None, "", "暗い"},
      {600001 + kPersonLightCheckMs, Move::Still, Arrives::None, "light 暗い", "暗い"},
      {600001 + 2 * kPersonLightCheckMs, Move::Big, Arrives::Unknown, "submit unknown " + kWhy + " alarm", "暗い"},
      {0, Move::Begin, Arrives::None, ""},
      {700000, Move::Big, Arrives::Nobody, "submit light 暗い", "暗い"},
  };
  PersonConfirm confirm;
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE("row " + std::to_string(i) + " at " + std::to_string(row.at));
    if (row.move == Move::Begin) {
      confirm.Start();
      EXPECT_FALSE(confirm.InEpisode());
      continue;
    }
    const std::string does = Tick(confirm, row);
    EXPECT_EQ(does, row.does);
    // The person confirmed is the one the mail and the archive get.
    if (does.find("person 60") != std::string::npos) {
      EXPECT_EQ(confirm.Person().value_or(PersonFound()).frameTimeMs, row.at);
    }
  }
}
