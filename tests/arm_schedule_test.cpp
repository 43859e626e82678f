#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "monitor/ArmControl.h"
#include "monitor/ArmSchedule.h"

namespace {
// The test process's local time zone; "" for the one it had.
void Zone(const char* zone) {
  if (*zone)
    setenv("TZ", zone, 1);
  else
    unsetenv("TZ");
  tzset();
}

// "2026-03-29 01:00" in UTC as seconds since the epoch; "" is 0.
std::time_t Utc(const std::string& text) {
  if (text.empty()) return 0;
  std::tm tm{};
  strptime(text.c_str(), "%Y-%m-%d %H:%M", &tm);
  return timegm(&tm);
}

std::string UtcText(std::time_t t) {
  if (t == 0) return "";
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
  return text;
}

// Windows as "days-mask:start-end" in minutes, comma-separated.
std::string Summary(const ArmSchedule& schedule) {
  std::string out;
  for (const ArmWindow& w : schedule.Windows())
    out += (out.empty() ? "" : ",") + std::to_string(w.days) + ":" + std::to_string(w.startMin) + "-" +
           std::to_string(w.endMin);
  return out;
}

// Sunday is bit 0: 月-金 is 62, 土,日 is 65, every day 127.
TEST(ArmSchedule, ReadsJapaneseAndEnglishFormsAndSaysWhyNot) {
  const struct {
    const char* text;
    const char* windows;  // nullptr: does not parse
    const char* why;      // a part of the reason
  } rows[] = {
      {"月-金 08:30-18:00, 土,日 00:00-24:00", "62:510-1080,65:0-1440", ""},
      {"Mon-Fri 08:30-18:00, Sat,Sun 00:00-24:00", "62:510-1080,65:0-1440", ""},
      {"monday 9:00-12:00 13:00-17:00; 水曜日 9:00-12:00", "2:540-720,2:780-1020,8:540-720", ""},
      {"月～金　０８：３０～１８：００、土・日 00:00-24:00", "62:510-1080,65:0-1440", ""},
      {"金-月 22:00-06:00", "99:1320-360", ""},
      {"22:00-06:00", "127:1320-360", ""},
      {"  ", "", ""},
      {"月-金", nullptr, "「月-金」の後に時間帯がありません"},
      {"月 25:00-26:00", nullptr, "00:00～24:00"},
      {"月 08:00-08:00", nullptr, "始まりと終わりが同じ"},
      {"月 24:00-06:00", nullptr, "終わりの時刻にだけ"},
      {"毎週 08:00-09:00", nullptr, "「毎週」を読めません"},
      {"月 08:30, 火 09:00-10:00", nullptr, "終わりの時刻がありません"},
      {"Mo 08:00-09:00", nullptr, "「Mo」を読めません"},
      {"月 8:3-9:00", nullptr, "時刻「8:3」を読めません"},
  };
  for (const auto& row : rows) {
    std::string why;
    const auto schedule = ArmSchedule::Parse(row.text, &why);
    if (row.windows) {
      ASSERT_TRUE(schedule) << row.text << ": " << why;
      EXPECT_EQ(Summary(*schedule), row.windows) << row.text;
    } else {
      EXPECT_FALSE(schedule) << row.text;
      EXPECT_NE(why.find(row.why), std::string::npos) << row.text << ": " << why;
    }
  }
}

// Edges are local wall-clock times, the same real span whatever the offset;
// a time the clock skips is the skip itself, one it shows twice the first.
TEST(ArmSchedule, ArmedAtAndNextEdgeAcrossADayAndBothDaylightSavingChanges) {
  const struct {
    const char* zone;
    const char* schedule;
    const char* now;   // UTC
    bool armed;
    const char* edge;  // UTC; "" for none
  } rows[] = {
      // Tokyo (+9, no daylight saving): 2026-06-01 is a Monday.
      {"Asia/Tokyo", "月-金 08:30-18:00, 土,日 00:00-24:00", "2026-05-31 23:00", false, "2026-05-31 23:30"},
      {"Asia/Tokyo", "月-金 08:30-18:00, 土,日 00:00-24:00", "2026-06-01 03:00", true, "2026-06-01 09:00"},
      // Saturday and Sunday run into one: Sunday 24:00 is the next edge.
      {"Asia/Tokyo", "月-金 08:30-18:00, 土,日 00:00-24:00", "2026-06-05 16:00", true, "2026-06-07 15:00"},
      {"Asia/Tokyo", "月 22:00-06:00", "2026-06-01 20:00", true, "2026-06-01 21:00"},
      {"Asia/Tokyo", "00:00-24:00", "2026-06-01 20:00", true, ""},
      // Berlin springs forward on 2026-03-29 at 02:00 CET (01:00 UTC).
      {"Europe/Berlin", "日 01:30-03:30", "2026-03-29 00:00", false, "2026-03-29 00:30"},
      {"Europe/Berlin", "日 01:30-03:30", "2026-03-29 00:45", true, "2026-03-29 01:30"},
      {"Europe/Berlin", "日 02:30-04:00", "2026-03-29 00:30", false, "2026-03-29 01:00"},
      {"Europe/Berlin", "日 02:30-04:00", "2026-03-29 01:10", true, "2026-03-29 02:00"},
      // And falls back on 2026-10-25 at 03:00 CEST (01:00 UTC).
      {"Europe/Berlin", "日 01:30-03:30", "2026-10-25 01:30", true, "2026-10-25 02:30"},
      {"Europe/Berlin", "日 01:00-02:30", "2026-10-25 00:00", true, "2026-10-25 00:30"},
      {"Europe/Berlin", "日 01:00-02:30", "2026-10-25 01:15", false, "2026-11-01 00:00"},
      // New York: 2026-03-08 02:00 EST and 2026-11-01 02:00 EDT.
      {"America/New_York", "Sun 02:30-05:00", "2026-03-08 06:45", false, "2026-03-08 07:00"},
      {"America/New_York", "Sun 01:30-03:30", "2026-11-01 06:45", true, "2026-11-01 08:30"},
      {"America/New_York", "Sun 00:00-01:30", "2026-11-01 05:15", true, "2026-11-01 05:30"},
      {"America/New_York", "Sun 00:00-01:30", "2026-11-01 06:15", false, "2026-11-08 05:00"},
  };
  for (const auto& row : rows) {
    Zone(row.zone);
    const auto schedule = ArmSchedule::Parse(row.schedule);
    ASSERT_TRUE(schedule) << row.schedule;
    const std::time_t now = Utc(row.now);
    const std::string where = std::string(row.zone) + " " + row.schedule + " at " + row.now;
    EXPECT_EQ(schedule->ArmedAt(now), row.armed) << where;
    EXPECT_EQ(UtcText(schedule->NextEdge(now)), row.edge) << where;
  }
  Zone("");
}

TEST(ArmSchedule, PreviewAndStateTexts) {
  Zone("Asia/Tokyo");
  const std::time_t monday0900 = Utc("2026-06-01 00:00");
  EXPECT_EQ(ArmSchedule::Parse("月-金 08:30-18:00")->PreviewText(monday0900), "次の切替: 18:00 に監視終了");
  EXPECT_EQ(ArmSchedule::Parse("土 08:30-18:00")->PreviewText(monday0900), "次の切替: 土曜 08:30 に監視開始");
  EXPECT_EQ(ArmSchedule::Parse("00:00-24:00")->PreviewText(monday0900), "予定では常に監視します");
  EXPECT_EQ(ArmStateText({true, ArmedBy::Schedule, Utc("2026-06-01 09:00")}, monday0900),
            "監視中（予定による、18:00 まで）");
  EXPECT_EQ(ArmStateText({false, ArmedBy::House, 0}, monday0900), "監視停止中（家からの指示による）");
  EXPECT_EQ(ArmStateText({true, ArmedBy::MailCommand, Utc("2026-06-15 00:00")}, monday0900),
            "監視中（メールでの指示による、6/15 09:00 まで）");
  // The idle picture's words name the date even for today.
  EXPECT_EQ(NextStartText(Utc("2026-12-14 18:08")), "次の監視開始: 12/15 03:08");
  EXPECT_EQ(NextStartText(monday0900), "次の監視開始: 6/1 09:00");
  Zone("");
}
} // namespace
