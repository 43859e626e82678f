#include <cstdarg>
#include <cstdio>
#include <iostream>

#include "platform/MessageBox.h"

namespace {
IMessagePresenter* presenter = nullptr;
std::string caption;

// Cuts at the buffer size without splitting a UTF-8 sequence.
std::string CutToBuffer(const char* text) {
  std::string s(text);
  if (s.size() < kMessageBufferSize) return s;
  size_t end = kMessageBufferSize - 1;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}
} // namespace

void InstallMessagePresenter(IMessagePresenter* p) { presenter = p; }

void SetMessageCaption(const std::string& c) { caption = c; }

const std::string& MessageCaption() { return caption; }

std::string FormatMessageText(const char* format, va_list args) {
  char buffer[kMessageBufferSize * 4];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  return CutToBuffer(buffer);
}

void ShowErrorMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatMessageText(format, args);
  va_end(args);
  if (presenter)
    presenter->ShowError(caption, text);
  else
    std::cerr << caption << ": " << text << '\n';
}

void ShowInfoMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatMessageText(format, args);
  va_end(args);
  if (presenter)
    presenter->ShowInfo(caption, text);
  else
    std::cerr << caption << ": " << text << '\n';
}

void ShowErrorText(const std::string& c, const std::string& text) {
  if (presenter)
    presenter->ShowError(c, text);
  else
    std::cerr << c << ": " << text << '\n';
}
