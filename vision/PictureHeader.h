#pragma once
#include <cstdint>
#include <istream>

// How far a header is read before it counts as malformed: the markers (and
// fill bytes) walked to a JPEG's frame header, a PNM header with its
// comments, and the digits of one PNM size.
constexpr int kMaxJpegMarkers = 4096;
constexpr int kMaxPnmHeaderBytes = 4096;
constexpr int kMaxPnmDigits = 9;

// The width and height a picture file declares in its header, read without
// decoding anything: PNG, JPEG, BMP and the PNM family (PBM, PGM, PPM).
// False for any other format and for a header that is cut short or
// malformed, so a caller that must know the size before decoding refuses it.
bool DeclaredPictureSize(std::istream& in, int64_t& width, int64_t& height);
