#pragma once
#include <array>
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include <sys/stat.h>

// The 24-bit bitmap file that carries each frame from the capture to the
// detector: 14-byte file header, 40-byte info header, bottom-up rows of
// B, G, R padded to 4 bytes, no colour table.
constexpr size_t kBmpFileHeaderSize = 14;
constexpr size_t kBmpInfoHeaderSize = 40;
constexpr size_t kBmpHeaderSize = kBmpFileHeaderSize + kBmpInfoHeaderSize;
constexpr int kBmpRowAlignment = 4;

// Bytes of one stored row of a 24-bit picture this many pixels wide.
size_t BmpRowStride(int width);

// Both headers for a width x height 24-bit picture stored bottom-up. False
// when the picture is empty or its file would not fit the 32-bit size field.
bool BuildBmpHeader(int width, int height, std::array<uint8_t, kBmpHeaderSize>& header);

// Writes an 8-bit, 3-channel B, G, R picture to path as a bitmap file,
// straight from the picture's rows. The file is rewritten in place and then
// cut to size, never truncated first or renamed over: the frame file is
// rewritten many times a second, and that way its pages stay in memory
// instead of being sent to the disk on every rewrite. False when the
// picture is not 8-bit B, G, R or the file could not be written completely.
// `written`, when given, receives the file's status right after the write.
bool WriteBmpFile(const std::string& path, const cv::Mat& picture, struct stat* written = nullptr);
