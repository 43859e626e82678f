#pragma once
#include <cstdarg>
#include <cstddef>
#include <string>

// Where message boxes go. The widget layer installs one that shows modal
// QMessageBoxes; tests install one that records. With none installed the
// texts go to standard error.
class IMessagePresenter {
public:
  virtual ~IMessagePresenter() = default;
  virtual void ShowError(const std::string& caption, const std::string& text) = 0;
  virtual void ShowInfo(const std::string& caption, const std::string& text) = 0;
};

// Not owned; nullptr removes it.
void InstallMessagePresenter(IMessagePresenter* presenter);

// Longest formatted message, as the fixed buffer of the original allowed:
// a longer text is cut, never overrun.
constexpr size_t kMessageBufferSize = 512;

void SetMessageCaption(const std::string& caption);
const std::string& MessageCaption();
void ShowErrorMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ShowInfoMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// An error box with its own caption and an unformatted text (the standard
// display of escaped errors).
void ShowErrorText(const std::string& caption, const std::string& text);
// Formats like the two above (exposed for tests).
std::string FormatMessageText(const char* format, va_list args);
