#pragma once
#include <string>

// Moves the process into the folder it works in: the frame file and the
// mail picture are written there, and the idle picture and the alarm sound
// are read from there under their bare names. `profile` is the name given
// with --profile, empty for the default. False, with a reason in `error`,
// when the folder cannot be made or entered.
bool EnterWorkingFolder(const std::string& profile, std::string* error);
