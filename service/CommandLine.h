#pragma once
#include <string>

// The program's own options. Qt's single-dash options (-platform, -style,
// ...) and their values are left to Qt on a windowed start; a headless
// start takes nothing else. A mistyped double-dash option is an error, not
// a window that opens anyway.
struct CommandLine {
  bool headless = false;  // --headless
  bool help = false;      // --help or -h: print the usage and end
  bool version = false;   // --version: print the version and end
  std::string profile;    // --profile NAME or --profile=NAME; empty: default
  std::string error;      // why the line cannot be used (Japanese); empty if fine
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// What the program prints after a command-line error.
extern const char kUsageText[];
