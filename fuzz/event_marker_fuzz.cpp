// An event folder's marker: whatever bytes are in it, an event read from
// them writes back to a marker that reads as the same event, and one that
// is not ours never reads as one.
#include "archive/EventMarker.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = AsText(data, size);
  const std::optional<EventInfo> event = ParseEventMarker(bytes);
  const std::string first = bytes.substr(0, bytes.find('\n'));
  FUZZ_CHECK(event.has_value() == (first == kEventMarkerLine));
  if (!event) return 0;
  FUZZ_CHECK(event->folder.empty());

  for (bool ended : {false, true}) {
    const std::string written = EventMarkerText(*event, ended);
    const std::optional<EventInfo> again = ParseEventMarker(written);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->startMs == event->startMs);
    FUZZ_CHECK(again->person == event->person);
    FUZZ_CHECK(again->endMs == (ended ? event->endMs : 0));
    FUZZ_CHECK(again->frames == (ended ? event->frames : 0));
    FUZZ_CHECK(again->profile == (event->profile.empty() ? MarkerProfile() : event->profile));
    FUZZ_CHECK(EventMarkerText(*again, ended) == written);
  }
  return 0;
}
