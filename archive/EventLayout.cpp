#include "archive/EventLayout.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/AppPaths.h"

namespace fs = std::filesystem;

std::string EventArchiveRoot(const std::string& eventDir, const std::string& profile) {
  if (!eventDir.empty()) return eventDir;
  return ProfileDataFolder("events", profile);
}

bool ReadEventInfo(const std::string& folder, EventInfo& info) {
  std::ifstream in(folder + "/" + kEventMarkerFile);
  std::string line;
  if (!in || !std::getline(in, line) || line != kEventMarkerLine) return false;
  info = EventInfo{};
  info.folder = folder;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const long long value = std::strtoll(line.c_str() + eq + 1, nullptr, 10);
    if (key == "start_ms")
      info.startMs = value;
    else if (key == "end_ms")
      info.endMs = value;
    else if (key == "person")
      info.person = value != 0;
    else if (key == "frames")
      info.frames = value;
  }
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
