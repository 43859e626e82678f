#pragma once
#include <string>

// FFmpeg's own text for one of its error codes (AVERROR(...)), for a message.
std::string AvErrorText(int code);
