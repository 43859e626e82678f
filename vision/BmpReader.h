#pragma once
#include <string>

#include <opencv2/core.hpp>

// Reads an uncompressed 24-bit bitmap file straight into the rows of an
// 8-bit B, G, R picture: one copy from the page cache, no decoder. This is
// the shape of every frame file the capture writes, read on every tick.
// `picture` is reused when it already has the right size and nobody else
// shares it. Returns false, leaving `picture` unspecified, for any other
// kind of file or a file that is cut short; the caller then falls back to
// OpenCV's loader.
bool ReadBgrBitmap(const std::string& path, cv::Mat& picture);
