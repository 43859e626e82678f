#include "archive/Retention.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include <sys/statvfs.h>

#include "archive/EventFolder.h"
#include "archive/EventLayout.h"

namespace fs = std::filesystem;

int64_t EventFolderBytes(const std::string& folder) {
  int64_t bytes = 0;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code statError;
    const fs::file_status status = it->symlink_status(statError);
    if (statError || !fs::is_regular_file(status)) continue;
    const uintmax_t size = it->file_size(statError);
    if (!statError) bytes += static_cast<int64_t>(size);
  }
  return bytes;
}

namespace {
// Deletes one of our folders, looked at once more right before: one that
// became a link or lost its marker since the listing is left alone.
// remove_all deletes links inside, never what they lead to.
bool RemoveEventFolder(const std::string& folder) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(folder, error);
  EventInfo info;
  if (error || !fs::is_directory(status) || !ReadEventInfo(folder, info)) return false;
  fs::remove_all(folder, error);
  return !error;
}
} // namespace

RetentionResult ApplyRetention(const std::string& root, const RetentionLimits& limits, int64_t nowMs,
                               const std::string& keep, const std::string& profile, int64_t keepBytes) {
  RetentionResult result;
  std::vector<EventInfo> events = ListEvents(root);  // newest first
  // Another profile sharing the folder keeps its own events by its own rules.
  events.erase(std::remove_if(events.begin(), events.end(),
                              [&](const EventInfo& e) { return !e.profile.empty() && e.profile != profile; }),
               events.end());
  const fs::path kept = keep.empty() ? fs::path() : fs::path(keep).lexically_normal();
  auto isKept = [&](const EventInfo& event) {
    return !keep.empty() && fs::path(event.folder).lexically_normal() == kept;
  };
  std::vector<int64_t> sizes;
  sizes.reserve(events.size());
  int64_t total = 0;
  for (const EventInfo& event : events) {
    const bool ownSize = keepBytes >= 0 && isKept(event);
    sizes.push_back(ownSize ? keepBytes : EventFolderBytes(event.folder));
    total += sizes.back();
    if (isKept(event)) result.keptEventBytes = sizes.back();
  }
  std::vector<bool> gone(events.size(), false);
  auto remove = [&](size_t i) {
    if (RemoveEventFolder(events[i].folder)) {
      gone[i] = true;
      ++result.removed;
      result.bytesRemoved += sizes[i];
      total -= sizes[i];
    } else {
      ++result.failed;
    }
  };
  // Oldest first: from the back of the list.
  const bool clockPlausible = events.empty() || (nowMs >= events.front().startMs &&
                                                 nowMs - events.front().startMs <= kMaxPlausibleClockLeadMs);
  if (limits.maxAgeMs > 0 && !clockPlausible)
    result.ageSkipped = "時計が最新のイベント(" + EventFolderName(events.front().startMs) +
                        ")より前か、1年以上先を指しているため、古いイベントを日数では削除しません。時刻を確認してください。";
  if (limits.maxAgeMs > 0 && clockPlausible)
    for (size_t i = events.size(); i-- > 0;)
      if (!isKept(events[i]) && nowMs - events[i].startMs > limits.maxAgeMs) remove(i);
  if (limits.maxBytes > 0)
    for (size_t i = events.size(); i-- > 0 && total > limits.maxBytes;)
      if (!gone[i] && !isKept(events[i])) remove(i);
  for (size_t i = 0; i < events.size(); ++i)
    if (!gone[i]) {
      ++result.kept;
      result.bytesKept += sizes[i];
      // Done here, after each event and at the start, since the clip's writer uses the umask.
      MakeEventFilesPrivate(events[i].folder);
    }
  return result;
}

bool FileSystemSpace(const std::string& path, int64_t& freeBytes, int64_t& totalBytes) {
  fs::path at = path.empty() ? fs::path(".") : fs::path(path);
  // The events folder may not exist yet: its nearest parent tells.
  for (;;) {
    struct statvfs info{};
    if (::statvfs(at.c_str(), &info) == 0) {
      freeBytes = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
      totalBytes = static_cast<int64_t>(info.f_blocks) * static_cast<int64_t>(info.f_frsize);
      return true;
    }
    if (!at.has_parent_path() || at.parent_path() == at) return false;
    at = at.parent_path();
  }
}

int64_t FreeSpaceFloor(int64_t totalBytes) {
  return std::min<int64_t>(kMinFreeBytes, totalBytes / 100 * kMinFreePercent);
}
