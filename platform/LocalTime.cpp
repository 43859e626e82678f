#include "platform/LocalTime.h"

std::string LocalTimeText(std::time_t when, const char* pattern) {
  std::tm local{};
  if (!localtime_r(&when, &local)) return "";
  char text[kLocalTimeTextMaxBytes + 1];
  const size_t n = std::strftime(text, sizeof text, pattern, &local);
  return std::string(text, n);
}
