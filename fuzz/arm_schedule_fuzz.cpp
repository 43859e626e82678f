// The weekly schedule as typed on the option dialog, read and then asked
// about moments in time zones with and without daylight saving: what it
// accepts is in range, the next edge is the first change of the state, and
// a schedule without one is armed all the time.
#include <cstdlib>
#include <ctime>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/FuzzCheck.h"
#include "monitor/ArmSchedule.h"

namespace {
constexpr int kMinutesPerDay = 24 * 60;
constexpr std::time_t kDay = 24 * 3600;
// 2000-01-01 to 2100-01-01 UTC.
constexpr std::time_t kEarliest = 946684800;
constexpr std::time_t kLatest = 4102444800;
// POSIX rules, so that no zone files are needed: none, the usual spring and
// autumn shifts, a half-hour shift, and one at midnight that skips 00:00.
const char* const kZones[] = {"JST-9", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
                              "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", "<-04>4<-03>,M9.1.6/24,M4.1.6/24"};
constexpr int kMoments = 3;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  setenv("TZ", kZones[in.ConsumeIntegralInRange<size_t>(0, std::size(kZones) - 1)], 1);
  tzset();
  std::time_t moments[kMoments];
  for (std::time_t& t : moments) t = in.ConsumeIntegralInRange<std::time_t>(kEarliest, kLatest);
  const std::string text = in.ConsumeRemainingBytesAsString();

  std::string why;
  const std::optional<ArmSchedule> schedule = ArmSchedule::Parse(text, &why);
  if (!schedule) {
    FUZZ_CHECK(!why.empty());
    return 0;
  }
  for (const ArmWindow& w : schedule->Windows()) {
    FUZZ_CHECK(w.days >= 1 && w.days <= 0x7F);
    FUZZ_CHECK(w.startMin >= 0 && w.startMin < kMinutesPerDay && w.endMin >= 0 && w.endMin <= kMinutesPerDay);
    FUZZ_CHECK(w.startMin != w.endMin);
  }
  for (const std::time_t now : moments) {
    const bool armed = schedule->ArmedAt(now);
    const std::time_t edge = schedule->NextEdge(now);
    if (schedule->Empty()) {
      FUZZ_CHECK(!armed && edge == 0);
      continue;
    }
    if (edge == 0) {
      // Every window is a week's moment or more apart from no window.
      FUZZ_CHECK(armed);
      for (std::time_t later = now + kDay / 3; later < now + 8 * kDay; later += kDay / 3)
        FUZZ_CHECK(schedule->ArmedAt(later));
      continue;
    }
    FUZZ_CHECK(edge > now && edge - now <= (kArmScheduleSearchDays + 1) * kDay);
    FUZZ_CHECK(schedule->ArmedAt(edge) != armed);
    // Nothing changes before the edge.
    for (const std::time_t before : {edge - 1, now + (edge - now) / 2, now + (edge - now) / 4})
      if (before > now) FUZZ_CHECK(schedule->ArmedAt(before) == armed);
    FUZZ_CHECK(!schedule->PreviewText(now).empty() && !ArmMomentText(edge, now).empty());
  }
  return 0;
}
