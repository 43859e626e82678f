#pragma once
#include <cstddef>
#include <string>

// Line splitting for servers that end lines with CR LF, LF CR, CR or LF.
struct TLineEnd {
  size_t Pos = 0;      // index of the first line-end byte
  size_t Length = 0;   // 1 or 2
  bool LoneCR = false; // the line ended with a CR alone
  bool LoneLF = false; // the line ended with an LF alone
};

// Finds the first line end in text. A CR or LF that is the last byte so far
// counts as lone: its partner may still be on the way.
// The search starts at from, so a growing line is not scanned again.
bool FindLineEnd(const std::string& text, TLineEnd& end, size_t from = 0);

// Drops the second half of a CR LF or LF CR pair that was split between two
// packets, then clears both flags. Empty data leaves the flags as they are.
void JoinSplitLineEnd(std::string& data, bool& lastCR, bool& lastLF);

// True when text holds a CR or LF: such text would end a protocol command
// line early, or start a header of its own.
bool HasLineBreak(const std::string& text);
