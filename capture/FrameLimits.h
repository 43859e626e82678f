#pragma once
#include <cstdint>

// The largest picture a frame file or a camera's JPEG may claim before any
// memory is set aside for it: a header is outside data, and a claim past
// these is refused instead of believed. 8K UHD fits with room to spare.
constexpr int32_t kMaxFrameWidth = 16384;
constexpr int32_t kMaxFrameHeight = 16384;
constexpr int64_t kMaxFramePixels = int64_t{7680} * 4320;

// True when a width x height picture is within the limits above.
constexpr bool FrameSizeAllowed(int64_t width, int64_t height) {
  return width > 0 && height > 0 && width <= kMaxFrameWidth && height <= kMaxFrameHeight &&
         width * height <= kMaxFramePixels;
}
