#include "monitor/ArmSchedule.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {
constexpr int kMinutesPerDay = 24 * 60;
constexpr int kDaysPerWeek = 7;
constexpr unsigned kEveryDay = (1u << kDaysPerWeek) - 1;
// Noon exists on every day, whatever the clock does at night.
constexpr int kNoon = 12;

const char* const kJapaneseDays[kDaysPerWeek] = {"日", "月", "火", "水", "木", "金", "土"};
const char* const kEnglishDays[kDaysPerWeek] = {"sunday",   "monday", "tuesday", "wednesday",
                                                "thursday", "friday", "saturday"};
const char kHowToWrite[] = "（曜日は 月～日 か Mon～Sun、時間帯は 08:30-18:00 の形で書いてください）";

// Wide forms as typed with a Japanese input method become their ASCII
// twins: digits, colon, hyphen, tilde, comma (、 and ・ too), blank.
std::string Normalised(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = text[i];
    uint32_t code = c;
    size_t len = 1;
    if (c >= 0xE0 && c < 0xF0 && i + 2 < text.size()) {
      code = ((c & 0x0Fu) << 12) | ((text[i + 1] & 0x3Fu) << 6) | (text[i + 2] & 0x3Fu);
      len = 3;
    }
    char ascii = 0;
    if (code >= 0xFF01 && code <= 0xFF5E) ascii = static_cast<char>(code - 0xFEE0);
    else if (code == 0x3000) ascii = ' ';
    else if (code == 0x3001 || code == 0x30FB) ascii = ',';
    else if (code == 0x301C) ascii = '~';
    else if (code == 0x2010 || code == 0x2212) ascii = '-';
    if (ascii && len == 3)
      out += ascii;
    else
      out.append(text, i, len);
    i += len;
  }
  return out;
}

bool Separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';'; }
bool Dash(char c) { return c == '-' || c == '~'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

void SkipBlanks(const std::string& s, size_t& pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
}

bool StartsWith(const std::string& s, size_t pos, const char* word) {
  return s.compare(pos, std::strlen(word), word) == 0;
}

// A weekday at `pos`: 月 (with 曜 or 曜日 after it, if written), or Mon or
// Monday in any case. -1 when there is none.
int ReadDay(const std::string& s, size_t& pos) {
  for (int d = 0; d < kDaysPerWeek; ++d)
    if (StartsWith(s, pos, kJapaneseDays[d])) {
      pos += std::strlen(kJapaneseDays[d]);
      if (StartsWith(s, pos, "曜日")) pos += std::strlen("曜日");
      else if (StartsWith(s, pos, "曜")) pos += std::strlen("曜");
      return d;
    }
  size_t end = pos;
  while (end < s.size() && Letter(s[end])) ++end;
  std::string word = s.substr(pos, end - pos);
  for (char& c : word) c = static_cast<char>(c | 0x20);
  if (word.size() < 3) return -1;
  for (int d = 0; d < kDaysPerWeek; ++d)
    if (word == std::string(kEnglishDays[d], 3) || word == kEnglishDays[d]) {
      pos = end;
      return d;
    }
  return -1;
}

// "8:30" or "08:30" up to "24:00", as minutes of the day; -1 otherwise.
int ReadTime(const std::string& s, size_t& pos, std::string* why) {
  const size_t begin = pos;
  int hour = 0;
  int digits = 0;
  while (pos < s.size() && Digit(s[pos]) && digits < 3) {
    hour = hour * 10 + (s[pos++] - '0');
    ++digits;
  }
  int minute = -1;
  if (digits <= 2 && pos + 2 < s.size() && s[pos] == ':' && Digit(s[pos + 1]) && Digit(s[pos + 2])) {
    minute = (s[pos + 1] - '0') * 10 + (s[pos + 2] - '0');
    pos += 3;
  }
  if (minute < 0 || (pos < s.size() && Digit(s[pos]))) {
    while (pos < s.size() && !Separator(s[pos]) && !Dash(s[pos])) ++pos;
    if (why) *why = "時刻「" + s.substr(begin, pos - begin) + "」を読めません" + kHowToWrite;
    return -1;
  }
  if (minute > 59 || hour > 24 || (hour == 24 && minute != 0)) {
    if (why) *why = "時刻「" + s.substr(begin, pos - begin) + "」は 00:00～24:00 の間で書いてください";
    return -1;
  }
  return hour * 60 + minute;
}

// A local calendar day.
struct Day {
  int year;
  int month;  // 0-11
  int mday;
};

Day DayOf(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return {local.tm_year, local.tm_mon, local.tm_mday};
}

std::tm NoonOf(const Day& d, int addDays) {
  std::tm tm{};
  tm.tm_year = d.year;
  tm.tm_mon = d.month;
  tm.tm_mday = d.mday + addDays;
  tm.tm_hour = kNoon;
  tm.tm_isdst = -1;
  std::mktime(&tm);
  return tm;
}

Day AddDays(const Day& d, int days) {
  const std::tm tm = NoonOf(d, days);
  return {tm.tm_year, tm.tm_mon, tm.tm_mday};
}

int Weekday(const Day& d) { return NoonOf(d, 0).tm_wday; }

int64_t WallKey(int year, int month, int mday, int hour, int minute, int second) {
  return ((((int64_t{year} * 12 + month) * 32 + mday) * 24 + hour) * 60 + minute) * 60 + second;
}

int64_t WallKeyOf(std::time_t t) {
  std::tm l{};
  localtime_r(&t, &l);
  return WallKey(l.tm_year, l.tm_mon, l.tm_mday, l.tm_hour, l.tm_min, l.tm_sec);
}

// The real moment of a wall-clock minute of a day: the first of two when
// the clock shows it twice, the jump itself when the clock skips it.
std::time_t Moment(Day d, int minute) {
  if (minute >= kMinutesPerDay) {
    d = AddDays(d, minute / kMinutesPerDay);
    minute %= kMinutesPerDay;
  }
  const int64_t wanted = WallKey(d.year, d.month, d.mday, minute / 60, minute % 60, 0);
  std::time_t found[2];
  std::time_t best = -1;
  for (int dst = 0; dst < 2; ++dst) {
    std::tm tm{};
    tm.tm_year = d.year;
    tm.tm_mon = d.month;
    tm.tm_mday = d.mday;
    tm.tm_hour = minute / 60;
    tm.tm_min = minute % 60;
    tm.tm_isdst = dst;
    found[dst] = std::mktime(&tm);
    if (found[dst] != -1 && WallKeyOf(found[dst]) == wanted && (best == -1 || found[dst] < best))
      best = found[dst];
  }
  if (best != -1) return best;
  // Skipped: the first moment whose wall clock is past it lies between the
  // two readings, where the wall clock only moves forward.
  std::time_t lo = std::min(found[0], found[1]);
  std::time_t hi = std::max(found[0], found[1]);
  if (lo == -1) return hi;
  while (lo < hi) {
    const std::time_t mid = lo + (hi - lo) / 2;
    if (WallKeyOf(mid) >= wanted)
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo;
}

std::time_t WindowEnd(const Day& d, const ArmWindow& w) {
  return w.endMin > w.startMin ? Moment(d, w.endMin) : Moment(AddDays(d, 1), w.endMin);
}
} // namespace

std::optional<ArmSchedule> ArmSchedule::Parse(const std::string& original, std::string* why) {
  const std::string s = Normalised(original);
  ArmSchedule schedule;
  unsigned days = 0;
  std::string daysText;
  bool afterTime = false;
  size_t pos = 0;
  for (;;) {
    while (pos < s.size() && Separator(s[pos])) ++pos;
    if (pos >= s.size()) break;
    const size_t begin = pos;
    const int first = ReadDay(s, pos);
    if (first >= 0) {
      // Days after a time begin the next entry.
      if (afterTime) days = 0, daysText.clear();
      afterTime = false;
      int last = first;
      size_t after = pos;
      SkipBlanks(s, after);
      if (after < s.size() && Dash(s[after])) {
        ++after;
        SkipBlanks(s, after);
        last = ReadDay(s, after);
        if (last < 0) {
          if (why) *why = "「" + s.substr(begin, after - begin) + "」の後に曜日がありません" + kHowToWrite;
          return std::nullopt;
        }
        pos = after;
      }
      // A range may wrap over the week's end: 金-月 is Friday to Monday.
      for (int d = first;; d = (d + 1) % kDaysPerWeek) {
        days |= 1u << d;
        if (d == last) break;
      }
      daysText += (daysText.empty() ? "" : ",") + s.substr(begin, pos - begin);
      continue;
    }
    if (Digit(s[pos])) {
      const int start = ReadTime(s, pos, why);
      if (start < 0) return std::nullopt;
      SkipBlanks(s, pos);
      if (pos >= s.size() || !Dash(s[pos])) {
        if (why) *why = "時間帯「" + s.substr(begin, pos - begin) + "」に終わりの時刻がありません" + kHowToWrite;
        return std::nullopt;
      }
      ++pos;
      SkipBlanks(s, pos);
      const int end = pos < s.size() && Digit(s[pos]) ? ReadTime(s, pos, why) : -2;
      if (end == -2 && why)
        *why = "時間帯「" + s.substr(begin, pos - begin) + "」に終わりの時刻がありません" + kHowToWrite;
      if (end < 0) return std::nullopt;
      const std::string range = s.substr(begin, pos - begin);
      if (start == kMinutesPerDay) {
        if (why) *why = "時間帯「" + range + "」: 24:00 は終わりの時刻にだけ使えます";
        return std::nullopt;
      }
      if (start == end) {
        if (why) *why = "時間帯「" + range + "」は始まりと終わりが同じです";
        return std::nullopt;
      }
      // A time with no days before it is every day.
      schedule.windows_.push_back({days ? days : kEveryDay, start, end});
      afterTime = true;
      continue;
    }
    size_t end = pos;
    while (end < s.size() && !Separator(s[end])) ++end;
    if (why) *why = "「" + s.substr(begin, end - begin) + "」を読めません" + kHowToWrite;
    return std::nullopt;
  }
  if (days && !afterTime) {
    if (why) *why = "「" + daysText + "」の後に時間帯がありません" + kHowToWrite;
    return std::nullopt;
  }
  return schedule;
}

bool ArmSchedule::ArmedAt(std::time_t t) const {
  const Day today = DayOf(t);
  // A window over midnight that began yesterday may still run.
  for (int offset = -1; offset <= 0; ++offset) {
    const Day d = AddDays(today, offset);
    const unsigned bit = 1u << Weekday(d);
    for (const ArmWindow& w : windows_)
      if ((w.days & bit) && Moment(d, w.startMin) <= t && t < WindowEnd(d, w)) return true;
  }
  return false;
}

std::time_t ArmSchedule::NextEdge(std::time_t now) const {
  if (windows_.empty()) return 0;
  const Day today = DayOf(now);
  std::vector<std::time_t> candidates;
  for (int offset = -1; offset <= kArmScheduleSearchDays; ++offset) {
    const Day d = AddDays(today, offset);
    const unsigned bit = 1u << Weekday(d);
    for (const ArmWindow& w : windows_) {
      if (!(w.days & bit)) continue;
      for (std::time_t t : {Moment(d, w.startMin), WindowEnd(d, w)})
        if (t > now) candidates.push_back(t);
    }
  }
  std::sort(candidates.begin(), candidates.end());
  // Windows that touch or overlap (Sat 00:00-24:00, Sun 00:00-24:00) have
  // ends that change nothing.
  const bool armed = ArmedAt(now);
  for (std::time_t t : candidates)
    if (ArmedAt(t) != armed) return t;
  return 0;
}

std::string ArmSchedule::PreviewText(std::time_t now) const {
  if (windows_.empty()) return "予定なし（監視の開始と終了は手動か指示で）";
  const std::time_t edge = NextEdge(now);
  if (edge == 0) return "予定では常に監視します";
  return "次の切替: " + ArmMomentText(edge, now) + " に" + (ArmedAt(edge) ? "監視開始" : "監視終了");
}

std::string NextStartText(std::time_t when) {
  std::tm at{};
  localtime_r(&when, &at);
  char text[32];
  std::snprintf(text, sizeof text, "%d/%d %02d:%02d", at.tm_mon + 1, at.tm_mday, at.tm_hour, at.tm_min);
  return std::string("次の監視開始: ") + text;
}

std::string ArmMomentText(std::time_t when, std::time_t now) {
  std::tm at{};
  localtime_r(&when, &at);
  char clock[8];
  std::snprintf(clock, sizeof clock, "%02d:%02d", at.tm_hour, at.tm_min);
  const Day day = DayOf(when);
  const Day today = DayOf(now);
  if (day.year == today.year && day.month == today.month && day.mday == today.mday) return clock;
  if (when > now && when - now < static_cast<std::time_t>(kDaysPerWeek - 1) * 24 * 3600)
    return std::string(kJapaneseDays[at.tm_wday]) + "曜 " + clock;
  return std::to_string(at.tm_mon + 1) + "/" + std::to_string(at.tm_mday) + " " + clock;
}
