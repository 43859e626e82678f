#pragma once
#include <cstddef>
#include <optional>
#include <string>

#include "archive/EventLayout.h"

// Ours are a hundred bytes or so; a marker file longer than this is
// someone else's and is not read further.
constexpr size_t kEventMarkerMaxBytes = 4096;

// A profile name longer than this in a marker is not a profile's.
constexpr size_t kMarkerProfileMaxBytes = 255;

// The profile this process records for: its events' markers name it, and
// retention deletes only its events. "default" until set, or set empty.
void SetMarkerProfile(const std::string& profile);
const std::string& MarkerProfile();

// The marker's text: start_ms and person at the start, all four at the end;
// the event's profile, or this process's where it names none.
std::string EventMarkerText(const EventInfo& event, bool ended);
// The event a marker's bytes describe (its folder left empty); nothing
// when the first line is not kEventMarkerLine. Lines it does not know
// are passed over, numbers it cannot read count as 0.
std::optional<EventInfo> ParseEventMarker(const std::string& bytes);
