#pragma once
#include <cstdint>
#include <string>

#include "archive/EventMarker.h"

// Below this much free space on the events folder's file system nothing
// more is recorded (or, on a small file system, below kMinFreePercent of
// its size, whichever is less): the archive never fills the disk that the
// system and the other programs need.
constexpr int64_t kMinFreeBytes = int64_t{256} << 20;
constexpr int kMinFreePercent = 5;

// What the events folder may hold. 0: no such limit.
struct RetentionLimits {
  int64_t maxBytes = 0;
  int64_t maxAgeMs = 0;
};

// A clock this far past the newest event's start is taken as wrong rather
// than as a camera that saw nothing for so long: nothing is deleted on age.
constexpr int64_t kMaxPlausibleClockLeadMs = int64_t{366} * 24 * 60 * 60 * 1000;

struct RetentionResult {
  int removed = 0;           // event folders deleted
  int64_t bytesRemoved = 0;
  int64_t bytesKept = 0;     // of the events left
  int kept = 0;
  int64_t keptEventBytes = 0;  // of `keep`, as counted
  int failed = 0;            // folders that could not be deleted
  // Why nothing was deleted on age (the clock is not plausible); "": it was
  // applied. The caller says it once.
  std::string ageSkipped;
};

// Deletes our own event folders under `root` (those ListEvents finds: a
// marker, a real folder directly under it, of `profile` or of no named
// profile) that started more than maxAgeMs before `nowMs`, then the oldest
// until the rest fit in maxBytes. Age is not applied when `nowMs` lies
// before the newest event's start or more than kMaxPlausibleClockLeadMs
// after it. `keep` (a folder path, may be empty) is never deleted: the
// event just recorded. Nothing else, another profile's event, a foreign
// folder, a file or a link, is touched or counted. The files of the events
// kept are made owner-only. `keepBytes` (>= 0) counts `keep` at the size its
// writer knows, ahead of what has reached the disk; -1: as on the disk.
RetentionResult ApplyRetention(const std::string& root, const RetentionLimits& limits, int64_t nowMs,
                               const std::string& keep, const std::string& profile = MarkerProfile(),
                               int64_t keepBytes = -1);

// Bytes of the regular files directly in an event folder (links not followed).
int64_t EventFolderBytes(const std::string& folder);

// Free space for an ordinary user, and the size, of the file system that
// holds `path` (or its nearest existing parent); false when it cannot be told.
bool FileSystemSpace(const std::string& path, int64_t& freeBytes, int64_t& totalBytes);

// The floor for a file system of that size: kMinFreeBytes, or
// kMinFreePercent of it when that is less.
int64_t FreeSpaceFloor(int64_t totalBytes);
