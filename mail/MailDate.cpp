#include "mail/MailDate.h"

#include <cctype>
#include <cstring>
#include <vector>

namespace {
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kSecondsPerHour = 3600;
constexpr int64_t kSecondsPerMinute = 60;
constexpr int kMinutesPerHour = 60;
constexpr int kLastHour = 23, kLastMinute = 59, kLastSecond = 60;  // a leap second may be written
// Two-digit years: below this are 20xx, the rest 19xx.
constexpr int kTwoDigitYearPivot = 50;
constexpr int kCentury21 = 2000;
constexpr int kFirstYear = 1900;
constexpr int kLastYear = 9999;

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// The value's words: comments dropped, ',' and ':' kept as words of their own.
std::vector<std::string> Tokens(const std::string& value) {
  std::vector<std::string> tokens;
  std::string word;
  int depth = 0;
  const auto flush = [&] {
    if (!word.empty()) tokens.push_back(word);
    word.clear();
  };
  for (char c : value) {
    if (c == '(') ++depth, flush();
    else if (c == ')' && depth > 0) --depth;
    else if (depth > 0) continue;
    else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') flush();
    else if (c == ',' || c == ':') flush(), tokens.emplace_back(1, c), flush();
    else word.push_back(c);
  }
  flush();
  return tokens;
}

bool Number(const std::string& word, size_t minDigits, size_t maxDigits, int& n) {
  if (word.size() < minDigits || word.size() > maxDigits) return false;
  n = 0;
  for (char c : word) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    n = n * 10 + (c - '0');
  }
  return true;
}

bool SameNoCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && ::strncasecmp(a.c_str(), b, a.size()) == 0;
}

// Minutes east of UTC.
bool ZoneOffset(const std::string& word, int& minutes) {
  if (word.size() == 5 && (word[0] == '+' || word[0] == '-')) {
    int hhmm = 0;
    if (!Number(word.substr(1), 4, 4, hhmm) || hhmm % 100 >= kMinutesPerHour) return false;
    minutes = (hhmm / 100 * kMinutesPerHour + hhmm % 100) * (word[0] == '-' ? -1 : 1);
    return true;
  }
  static const struct { const char* name; int hours; } kZones[] = {
      {"UT", 0}, {"GMT", 0}, {"EST", -5}, {"EDT", -4}, {"CST", -6}, {"CDT", -5},
      {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
  for (const auto& zone : kZones)
    if (SameNoCase(word, zone.name)) return minutes = zone.hours * kMinutesPerHour, true;
  return false;
}
} // namespace

bool ParseMailDate(const std::string& value, int64_t& epochS) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::vector<std::string> t = Tokens(value);
  // The day's name is told by what follows it, and not checked against the date.
  if (t.size() >= 2 && t[1] == ",") t.erase(t.begin(), t.begin() + 2);
  // day month year hh : mm [: ss] zone
  if (t.size() != 7 && t.size() != 9) return false;
  const bool withSeconds = t.size() == 9;
  int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0, zone = 0;
  for (int m = 0; m < 12; ++m)
    if (SameNoCase(t[1], kMonths[m])) month = m + 1;
  if (!Number(t[0], 1, 2, day) || month == 0 || !Number(t[2], 2, 4, year) || t[2].size() == 3) return false;
  if (t[2].size() == 2) year += year < kTwoDigitYearPivot ? kCentury21 : kFirstYear;
  if (!Number(t[3], 2, 2, hour) || t[4] != ":" || !Number(t[5], 2, 2, minute)) return false;
  if (withSeconds && (t[6] != ":" || !Number(t[7], 2, 2, second))) return false;
  if (!ZoneOffset(t.back(), zone)) return false;
  if (year < kFirstYear || year > kLastYear || day < 1 || day > DaysInMonth(year, month) || hour > kLastHour ||
      minute > kLastMinute || second > kLastSecond)
    return false;
  epochS = DaysFromCivil(year, month, day) * kSecondsPerDay + hour * kSecondsPerHour + minute * kSecondsPerMinute +
           second - static_cast<int64_t>(zone) * kSecondsPerMinute;
  return true;
}
