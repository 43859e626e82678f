#pragma once
#include <string>

// The text without spaces, tabs and line ends at either side.
inline std::string Trim(const std::string& text) {
  const char* space = " \t\r\n";
  const size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}
