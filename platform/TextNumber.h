#pragma once
#include <cstdint>
#include <string>

// Whether a number read from text may carry a "+" or "-" in front.
enum class TNumberSign { Allowed, Refused };

// The whole text as a decimal number in 32-bit signed range: an optional
// sign (when allowed), then one digit or more and nothing else, no blanks.
// False, leaving value as it was, for anything else. Callers that accept
// blanks or limit the digits say so before calling.
bool TextToInt32(const std::string& text, int32_t& value,
                 TNumberSign sign = TNumberSign::Allowed);
