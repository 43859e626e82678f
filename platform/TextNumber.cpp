#include "platform/TextNumber.h"

bool TextToInt32(const std::string& text, int32_t& value, TNumberSign sign) {
  size_t i = 0;
  bool negative = false;
  if (sign == TNumberSign::Allowed && i < text.size() && (text[i] == '-' || text[i] == '+'))
    negative = text[i++] == '-';
  if (i == text.size()) return false;
  // Counted in 64 bits and stopped just past the range, however many digits.
  constexpr int64_t kPastRange = int64_t{INT32_MAX} + 2;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude >= kPastRange) return false;
  }
  const int64_t number = negative ? -magnitude : magnitude;
  if (number > INT32_MAX || number < INT32_MIN) return false;
  value = static_cast<int32_t>(number);
  return true;
}
