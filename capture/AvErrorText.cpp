#include "capture/AvErrorText.h"

extern "C" {
#include <libavutil/error.h>
}

std::string AvErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}
