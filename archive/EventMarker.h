#pragma once
#include <cstddef>
#include <optional>
#include <string>

#include "archive/EventLayout.h"

// Ours are a hundred bytes or so; a marker file longer than this is
// someone else's and is not read further.
constexpr size_t kEventMarkerMaxBytes = 4096;

// The marker's text: start_ms and person at the start, all four at the end.
std::string EventMarkerText(const EventInfo& event, bool ended);
// The event a marker's bytes describe (its folder left empty); nothing
// when the first line is not kEventMarkerLine. Lines it does not know
// are passed over, numbers it cannot read count as 0.
std::optional<EventInfo> ParseEventMarker(const std::string& bytes);
