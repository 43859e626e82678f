#pragma once
#include <string>

#include <opencv2/core.hpp>

// What ReadBgrBitmap made of a file.
enum class BitmapRead {
  Read,           // the picture holds the file's frame
  OtherLayout,    // not an uncompressed 24-bit bitmap: left to another loader
  Refused,        // our layout, but its size claim is beyond the limits or the
                  // file's length (cut short, or a lying header): no loader may try
};

// Reads an uncompressed 24-bit bitmap file straight into the rows of an
// 8-bit B, G, R picture: one copy from the page cache, no decoder. This is
// the shape of every frame file the capture writes, read on every tick.
// The claimed width and height are checked against the frame limits and the
// file's real length before any memory is set aside. `picture` is reused
// when it already has the right size and nobody else shares it; unless the
// result is Read it is left unspecified.
BitmapRead ReadBgrBitmap(const std::string& path, cv::Mat& picture);
