#pragma once
#include <cstdint>
#include <string>

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

struct RetentionResult {
  int removed = 0;           // event folders deleted
  int64_t bytesRemoved = 0;
  int64_t bytesKept = 0;     // of the events left
  int kept = 0;
  int failed = 0;            // folders that could not be deleted
};

// Deletes our own event folders under `root` (those ListEvents finds: a
// marker, a real folder directly under it) that started more than
// maxAgeMs before `nowMs`, then the oldest until the rest fit in maxBytes.
// `keep` (a folder path, may be empty) is never deleted: the event just
// recorded. Nothing else, a foreign folder, a file or a link, is touched.
RetentionResult ApplyRetention(const std::string& root, const RetentionLimits& limits, int64_t nowMs,
                               const std::string& keep);

// Bytes of the regular files directly in an event folder (links not followed).
int64_t EventFolderBytes(const std::string& folder);

// Free space for an ordinary user, and the size, of the file system that
// holds `path` (or its nearest existing parent); false when it cannot be told.
bool FileSystemSpace(const std::string& path, int64_t& freeBytes, int64_t& totalBytes);

// The floor for a file system of that size: kMinFreeBytes, or
// kMinFreePercent of it when that is less.
int64_t FreeSpaceFloor(int64_t totalBytes);
