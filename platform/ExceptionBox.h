#pragma once
#include <exception>
#include <string>

// The standard display of an error that escaped an event handler: one modal
// error box with the application title as caption, through the installed
// message presenter (platform/MessageBox.h).

void SetApplicationTitle(const std::string& title);
const std::string& ApplicationTitle();

// Shows the message. While such a box is open (its own loop keeps timers and
// ticks running) further errors are not stacked on it: they go to standard
// error only. Returns true when the box was shown.
bool ShowException(const std::string& message);

// Runs a handler so that nothing it throws goes further. False when
// something escaped; message then holds an exception's message, or is empty
// for anything else thrown.
template <class Handler>
bool RunCatching(Handler&& handler, std::string& message) noexcept {
  try {
    handler();
    return true;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message.clear();
  }
  return false;
}

// Runs a handler and shows what escapes it in the standard box.
template <class Handler>
void RunGuarded(Handler&& handler) noexcept {
  std::string message;
  if (!RunCatching(handler, message)) ShowException(message);
}
