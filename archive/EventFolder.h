#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/EventLayout.h"

// How many folders of one second are tried ("_2" ... "_99") before giving up.
constexpr int kMaxSameSecondEvents = 99;

// "YYYY-MM-DD_HH-MM-SS" of an epoch time in ms, in local time.
std::string EventFolderName(int64_t startMs);

// Makes a new folder for an event that starts at `startMs` under `root`
// (created as needed), owner-only since it holds camera footage; its path in
// `folder`. False with the reason.
bool CreateEventFolder(const std::string& root, int64_t startMs, std::string& folder,
                       std::string* error);

// The marker's text: start_ms and person at the start, all four at the end.
std::string EventMarkerText(const EventInfo& event, bool ended);

// Writes a file whole or not at all: a temporary beside it, then renamed
// over it, so a reader never sees half of one. `sync` also waits until it
// is on the disk (for the marker, which is small).
bool WriteFileAtomically(const std::string& path, const void* data, size_t size, bool sync,
                         std::string* error);
