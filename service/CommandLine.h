#pragma once
#include <string>

// The program's own options. Anything else on a windowed start is left to
// Qt (-platform, -style, ...); a headless start takes nothing else.
struct CommandLine {
  bool headless = false;  // --headless
  std::string profile;    // --profile NAME or --profile=NAME; empty: default
  std::string error;      // why the line cannot be used (Japanese); empty if fine
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// What the program prints after a command-line error.
extern const char kUsageText[];
