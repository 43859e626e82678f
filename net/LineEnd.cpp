#include "net/LineEnd.h"

bool FindLineEnd(const std::string& text, TLineEnd& end, size_t from) {
  const size_t pos = text.find_first_of("\r\n", from);
  if (pos == std::string::npos) return false;
  end = TLineEnd{};
  end.Pos = pos;
  const char first = text[pos];
  const char partner = first == '\r' ? '\n' : '\r';
  if (pos + 1 < text.size() && text[pos + 1] == partner) {
    end.Length = 2;
  } else {
    end.Length = 1;
    end.LoneCR = first == '\r';
    end.LoneLF = first == '\n';
  }
  return true;
}

void JoinSplitLineEnd(std::string& data, bool& lastCR, bool& lastLF) {
  // Nothing arrived yet: the partner may still come.
  if (data.empty()) return;
  if ((lastCR && data[0] == '\n') || (lastLF && data[0] == '\r')) data.erase(0, 1);
  lastCR = false;
  lastLF = false;
}

bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }
