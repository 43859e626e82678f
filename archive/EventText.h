#pragma once
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
