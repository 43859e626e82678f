#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

// The headless program's world for one test: its own runtime, config,
// home and working folders, no display, no sound server unless given.
struct HeadlessFolders {
  HeadlessFolders();
  // Settings of a profile ("" for the default) in the store's format.
  void WriteSettings(const std::string& profile,
                     const std::vector<std::pair<std::string, std::string>>& values) const;
  std::string SettingsPath(const std::string& profile) const;
  ChildProcess::Options Options(const std::string& logName) const;
  std::string Log(const std::string& logName) const { return ReadFileBytes(work.File(logName)); }

  TempDir work, runtime, config, home;
};

// A looping test video: a white block sweeping over a plain background
// (B, G, R as "0xRRGGBB" for ffmpeg), MJPEG in AVI. False when ffmpeg failed.
bool MakeMotionVideo(const std::string& path, const std::string& background, int width,
                     int height, int seconds);

// The values that make a quick, mail-only headless run on `video`.
std::vector<std::pair<std::string, std::string>> MotionMailSettings(const std::string& video,
                                                                    const std::string& smtpPort);

// Mails the SMTP peer wrote to `dir` (msg-N.eml), in order.
std::vector<std::string> ReceivedMails(const std::string& dir);
// The mean B, G, R of the JPEG attached to a mail; all -1 when none.
std::vector<double> AttachedPictureMean(const std::string& mail);
// Lines of a log that do not start with a journal priority "<N>".
std::vector<std::string> UnprefixedLines(const std::string& log);
int CountOccurrences(const std::string& text, const std::string& part);
