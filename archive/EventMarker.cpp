#include "archive/EventMarker.h"

#include <cstdlib>

namespace {
constexpr char kDefaultProfile[] = "default";
std::string& OwnProfile() {
  static std::string profile = kDefaultProfile;
  return profile;
}
} // namespace

void SetMarkerProfile(const std::string& profile) { OwnProfile() = profile.empty() ? kDefaultProfile : profile; }

const std::string& MarkerProfile() { return OwnProfile(); }

std::string EventMarkerText(const EventInfo& event, bool ended) {
  std::string text = std::string(kEventMarkerLine) + "\n";
  text += "start_ms=" + std::to_string(event.startMs) + "\n";
  if (ended) text += "end_ms=" + std::to_string(event.endMs) + "\n";
  text += std::string("person=") + (event.person ? "1" : "0") + "\n";
  if (ended) text += "frames=" + std::to_string(event.frames) + "\n";
  text += "profile=" + (event.profile.empty() ? MarkerProfile() : event.profile) + "\n";
  if (event.test) text += "test=1\n";
  return text;
}

std::optional<EventInfo> ParseEventMarker(const std::string& bytes) {
  size_t end = bytes.find('\n');
  if (bytes.compare(0, end, kEventMarkerLine) != 0) return std::nullopt;
  EventInfo info;
  while (end != std::string::npos) {
    const size_t at = end + 1;
    end = bytes.find('\n', at);
    const std::string line = bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    if (key == "profile") {
      // Taken whole or not at all: a part of a name would be another profile's.
      const std::string name = line.substr(eq + 1);
      if (name.size() <= kMarkerProfileMaxBytes && name.find('\0') == std::string::npos) info.profile = name;
      continue;
    }
    // strtoll stops at a NUL: what follows one is not part of the number.
    const long long value = std::strtoll(line.c_str() + eq + 1, nullptr, 10);
    if (key == "start_ms")
      info.startMs = value;
    else if (key == "end_ms")
      info.endMs = value;
    else if (key == "person")
      info.person = value != 0;
    else if (key == "frames")
      info.frames = value;
    else if (key == "test")
      info.test = value != 0;
  }
  return info;
}
