#include "archive/EventLayout.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "archive/EventMarker.h"
#include "platform/AppPaths.h"

namespace fs = std::filesystem;

std::string EventArchiveRoot(const std::string& eventDir, const std::string& profile) {
  if (!eventDir.empty()) return eventDir;
  return ProfileDataFolder("events", profile);
}

bool ReadEventInfo(const std::string& folder, EventInfo& info) {
  std::ifstream in(folder + "/" + kEventMarkerFile, std::ios::binary);
  if (!in) return false;
  // One byte past the bound tells a marker that is too long from one that fits.
  std::string bytes(kEventMarkerMaxBytes + 1, '\0');
  in.read(&bytes[0], static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  if (bytes.size() > kEventMarkerMaxBytes) return false;
  std::optional<EventInfo> read = ParseEventMarker(bytes);
  if (!read) return false;
  info = std::move(*read);
  info.folder = folder;
  return true;
}

std::vector<EventInfo> ListEvents(const std::string& root) {
  std::vector<EventInfo> events;
  std::error_code error;
  for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
    EventInfo info;
    // A link could lead outside the events folder; only real folders count.
    if (it->is_directory(error) && !it->is_symlink(error) && ReadEventInfo(it->path().string(), info))
      events.push_back(std::move(info));
  }
  std::sort(events.begin(), events.end(), [](const EventInfo& a, const EventInfo& b) {
    return a.startMs != b.startMs ? a.startMs > b.startMs : a.folder > b.folder;
  });
  return events;
}
