#pragma once
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "archive/EventLayout.h"

// One picture for a whole event: frames taken evenly across its clip, the
// person's frame first, each stamped with its local time, side by side.
constexpr int kSheetFrames = 6;
constexpr int kSheetColumns = 3;
// Wide enough to see a face on a phone, small enough for any mailbox.
constexpr int kSheetWidth = 1280;
// The JPEG quality of the sheet a mail carries.
constexpr int kSheetJpegQuality = 85;

struct SheetFrame {
  cv::Mat picture;
  int64_t timeMs = 0;  // epoch ms
  bool person = false;
};

// The event's frames for its sheet: person.jpg first when a person was
// confirmed, then up to kSheetFrames in all read evenly across clip.mkv;
// without a readable clip, the folder's pictures (person, first, peak).
// `why`: set when OpenCV's module is missing, which leaves no frame at all.
std::vector<SheetFrame> EventSheetFrames(const EventInfo& event, std::string* why = nullptr);

// The frames laid out kSheetColumns to a row, kSheetWidth wide, each tile
// stamped "HH:MM:SS"; empty when there is no frame.
cv::Mat BuildContactSheet(const std::vector<SheetFrame>& frames);
