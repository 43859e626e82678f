#pragma once
#include <cstdint>
#include <istream>

// The width and height a picture file declares in its header, read without
// decoding anything: PNG, JPEG, BMP and the PNM family (PBM, PGM, PPM).
// False for any other format and for a header that is cut short or
// malformed, so a caller that must know the size before decoding refuses it.
bool DeclaredPictureSize(std::istream& in, int64_t& width, int64_t& height);
