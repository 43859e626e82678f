#include "platform/ExceptionBox.h"

#include <iostream>

#include "platform/MessageBox.h"

namespace {
std::string title;
bool boxOpen = false;
std::string lastDropped;
} // namespace

void SetApplicationTitle(const std::string& t) { title = t; }

const std::string& ApplicationTitle() { return title; }

bool ShowException(const std::string& message) {
  if (boxOpen) {
    // Ticks repeat an error many times a second: note each kind once.
    if (message != lastDropped) std::cerr << title << ": " << message << '\n';
    lastDropped = message;
    return false;
  }
  boxOpen = true;
  lastDropped.clear();
  struct Reset {
    ~Reset() { boxOpen = false; }
  } reset;
  try {
    ShowErrorText(title, message);
  } catch (...) {
    // A failing display must not become the next escaped error.
    std::cerr << title << ": " << message << '\n';
  }
  return true;
}
