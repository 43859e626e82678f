#pragma once
#include <ctime>
#include <string>

// The longest text LocalTimeText gives; a pattern that would make more gives "".
constexpr size_t kLocalTimeTextMaxBytes = 127;

// `when` in the machine's local time, as strftime writes `pattern`.
std::string LocalTimeText(std::time_t when, const char* pattern);
