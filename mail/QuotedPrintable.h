#pragma once
#include <string>
#include <vector>

// Longest quoted-printable line before it is cut (soft break excluded).
constexpr size_t kQpMaxLineLength = 78;

// "=XX" for "=" and every byte 0x00-0x1F and 0x7F-0xFF; all else, space
// included, stays.
std::string QpEncodeLine(const std::string& line);

// Appends the encoded line to out, cut at kQpMaxLineLength before an "="
// triplet or a space, each piece but the last ending in a soft break "=".
void QpCutLine(const std::string& encoded, std::vector<std::string>& out,
               size_t maxLength = kQpMaxLineLength);

// The stricter form for encoded words in headers: also the sixteen
// characters = ( ) [ ] < > : ; , / ? \ " _ @ become "=XX".
std::string QpEncodeHeaderSafe(const std::string& text);
