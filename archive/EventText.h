#pragma once
#include <cstdint>
#include <string>

#include "archive/EventLayout.h"

// How an event is told to a user, in the history and in its mail.
std::string EventStartText(const EventInfo& event);   // "2026/12/07 13:20:05"
std::string EventLengthText(const EventInfo& event);  // "1分05秒", "記録中"
// What a double click shows: the clip, else the picture that tells most
// (the person's, the first, the peak); empty when the folder has none.
std::string EventOpenTarget(const EventInfo& event);
// The small picture of its row: the person's when confirmed, else the first.
std::string EventThumbnailPicture(const EventInfo& event);
// How full the events folder is, for the list's note: "使用 120 MB / 上限
// 2048 MB (約 40 時間分)", the hours those bytes hold at the rate of the
// events kept so far; without a limit (0) the use alone, with nothing kept
// an empty text.
std::string ArchiveUsageText(int64_t usedBytes, int64_t maxBytes, int64_t recordedMs);
