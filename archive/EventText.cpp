#include "archive/EventText.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "platform/LocalTime.h"

namespace {
// A file that is there and holds something: a clip cut short at its first
// byte would open as an error in the player.
bool HasFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::file_size(path, error) > 0 && !error;
}

std::string FirstPresent(const EventInfo& event, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const std::string path = event.folder + "/" + name;
    if (HasFile(path)) return path;
  }
  return "";
}
} // namespace

std::string EventStartText(const EventInfo& event) {
  return LocalTimeText(static_cast<std::time_t>(event.startMs / 1000), "%Y/%m/%d %H:%M:%S");
}

std::string EventLengthText(const EventInfo& event) {
  // Without an end the event is still going on, or the program stopped in it.
  if (event.endMs <= 0) return "記録中";
  // Ended before it began: the clock was set back during it.
  if (event.endMs < event.startMs) return "不明(時計が戻されました)";
  const int64_t seconds = (event.endMs - event.startMs + 500) / 1000;
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%lld秒", static_cast<long long>(seconds));
  } else {
    std::snprintf(text, sizeof text, "%lld分%02lld秒", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

std::string EventOpenTarget(const EventInfo& event) {
  if (event.person)
    return FirstPresent(event, {kEventClip, kEventPersonPicture, kEventFirstPicture, kEventPeakPicture});
  return FirstPresent(event, {kEventClip, kEventFirstPicture, kEventPeakPicture});
}

std::string EventThumbnailPicture(const EventInfo& event) {
  if (event.person) return FirstPresent(event, {kEventPersonPicture, kEventFirstPicture, kEventPeakPicture});
  return FirstPresent(event, {kEventFirstPicture, kEventPeakPicture});
}

std::string ArchiveUsageText(int64_t usedBytes, int64_t maxBytes, int64_t recordedMs) {
  constexpr int64_t kMegabyte = int64_t{1} << 20;
  constexpr int64_t kMsPerHour = int64_t{60} * 60 * 1000;
  if (usedBytes <= 0) return "";
  // Rounded up: a folder with anything in it never reads "0 MB".
  std::string text = "使用 " + std::to_string((usedBytes + kMegabyte - 1) / kMegabyte) + " MB";
  if (maxBytes <= 0) return text;
  text += " / 上限 " + std::to_string(maxBytes / kMegabyte) + " MB";
  if (recordedMs <= 0) return text;
  const double hours = static_cast<double>(maxBytes) / static_cast<double>(usedBytes) *
                       static_cast<double>(recordedMs) / static_cast<double>(kMsPerHour);
  return text + " (約 " + std::to_string(static_cast<int64_t>(hours + 0.5)) + " 時間分)";
}
