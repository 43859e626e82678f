#pragma once
#include <filesystem>
#include <initializer_list>
#include <string>

#include <sys/stat.h>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

// The windowed program's own folders for one test: a working folder with
// the given assets, its settings and a private runtime folder.
struct ProgramFolders {
  explicit ProgramFolders(std::initializer_list<const char*> assets = {"start.jpg", "Alarm.wav"}) {
    for (const char* file : assets)
      std::filesystem::copy_file(std::string(VARDOCAM_SOURCE_DIR) + "/assets/" + file, work.File(file));
    chmod(runtime.Path().c_str(), 0700);
  }
  // The program's output goes to program.log in the working folder.
  ChildProcess::Options Options() const {
    ChildProcess::Options options;
    options.workingFolder = work.Path();
    options.outputFile = work.File("program.log");
    options.env = {{"XDG_RUNTIME_DIR", runtime.Path()}, {"XDG_CONFIG_HOME", config.Path()}};
    return options;
  }
  TempDir work, runtime, config;
};
