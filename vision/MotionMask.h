#pragma once
#include <string>

#include <opencv2/core.hpp>

// Reads a mask picture (PNG, JPEG, BMP, PGM, PPM or PBM): white and light
// greys are watched, dark ones ignored. The result is 8-bit, one channel, 0
// or 255. False, with `mask` empty, when the file cannot be read, is of
// another format, or declares a size beyond the frame limits (refused
// before anything is decoded).
bool ReadMotionMask(const std::string& path, cv::Mat& mask, std::string* why = nullptr);
