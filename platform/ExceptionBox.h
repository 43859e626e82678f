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

// Runs a handler so that nothing it throws goes further: an exception's
// message is shown, anything else with an empty message.
template <class Handler>
void RunGuarded(Handler&& handler) noexcept {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException(std::string());
  }
}
