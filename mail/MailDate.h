#pragma once
#include <cstdint>
#include <string>

// The moment a mail's Date field names, as seconds since the epoch (UTC):
// "[Tue,] 8 Dec 2026 05:07:43 +0900", seconds optional, two-digit years as
// mail of old wrote them, the named zones of the old mail rules (UT, GMT,
// EST ... PDT), comments in parentheses passed over. False for anything
// else, including days and times that do not exist.
bool ParseMailDate(const std::string& value, int64_t& epochS);
