#include "support/HeadlessRun.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sys/stat.h>

#include "support/SettingsFile.h"

HeadlessFolders::HeadlessFolders() { chmod(runtime.Path().c_str(), 0700); }

std::string HeadlessFolders::SettingsPath(const std::string& profile) const {
  return config.Path() + "/Korvane/Vardocam" + (profile.empty() ? "" : "-" + profile) + ".reg";
}

void HeadlessFolders::WriteSettings(
    const std::string& profile, const std::vector<std::pair<std::string, std::string>>& values) const {
  std::filesystem::create_directories(config.Path() + "/Korvane");
  WriteFileBytes(SettingsPath(profile), SettingsFileText(values));
}

ChildProcess::Options HeadlessFolders::Options(const std::string& logName) const {
  ChildProcess::Options options;
  options.workingFolder = work.Path();
  options.outputFile = work.File(logName);
  // Whatever folder a profile works in lies under these.
  options.env = {{"XDG_RUNTIME_DIR", runtime.Path()},
                 {"XDG_CONFIG_HOME", config.Path()},
                 {"HOME", home.Path()},
                 {"XDG_DATA_HOME", home.Path() + "/.local/share"},
                 {"XDG_STATE_HOME", home.Path() + "/.local/state"},
                 {"XDG_CACHE_HOME", home.Path() + "/.cache"},
                 {"DISPLAY", ""},
                 {"WAYLAND_DISPLAY", ""},
                 {"QT_QPA_PLATFORM", ""},
                 {"PULSE_SERVER", "unix:" + runtime.File("no-sound-server")}};
  return options;
}

bool MakeMotionVideo(const std::string& path, const std::string& background, int width,
                     int height, int seconds) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const std::string block = std::to_string(width / 3) + "x" + std::to_string(height * 5 / 6);
  ChildProcess ffmpeg({"ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                       "color=c=" + background + ":s=" + size + ":r=25:d=" + std::to_string(seconds) +
                           "[bg];color=c=white:s=" + block +
                           ":r=25[fg];[bg][fg]overlay=x='mod(t*" + std::to_string(width) + "," +
                           std::to_string(width) + ")':y=" + std::to_string(height / 12) +
                           ":shortest=1",
                       "-c:v", "mjpeg", "-q:v", "3", path},
                      {});
  return ffmpeg.Wait(120000) == std::optional<int>(0);
}

std::vector<std::pair<std::string, std::string>> MotionMailSettings(const std::string& video,
                                                                    const std::string& smtpPort) {
  char port[16];
  std::snprintf(port, sizeof port, "dword:%08x", static_cast<unsigned>(std::stoi(smtpPort)));
  return {{"START_MOVE_OBJECT", "dword:00000000"},
          {"USESOUND", "dword:00000001"},
          {"USEMAIL", "dword:00000001"},
          {"IS_CHECK", "dword:00000000"},
          {"USE_OOTSU", "dword:00000000"},
          {"BINBORDER", "dword:00000064"},
          {"MOVEBORDER", "dword:00000001"},
          {"MAIL_HOSTNAME", "\"127.0.0.1\""},
          {"MAIL_PORTNUMBER", port},
          {"MAIL_MAILADDRESS", "\"camera@mail.test\""},
          {"MAIL_TOADDRESS", "\"owner@mail.test\""},
          {"CAMERA_URL", "\"" + video + "\""}};
}

std::vector<std::string> ReceivedMails(const std::string& dir) {
  std::vector<std::string> mails;
  for (int n = 1;; ++n) {
    const std::string path = dir + "/msg-" + std::to_string(n) + ".eml";
    if (!std::filesystem::exists(path)) break;
    mails.push_back(ReadFileBytes(path));
  }
  return mails;
}

namespace {
std::string DecodeBase64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    const size_t index = alphabet.find(c);
    if (index == std::string::npos) continue;  // line breaks, padding
    value = (value << 6) | static_cast<unsigned>(index);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xff);
    }
  }
  return out;
}
} // namespace

std::vector<double> AttachedPictureMean(const std::string& mail) {
  std::string lower = mail;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  const size_t type = lower.find("image/jpeg");
  const size_t start = type == std::string::npos ? type : mail.find("\r\n\r\n", type);
  if (start == std::string::npos) return {-1, -1, -1};
  const size_t end = mail.find("\r\n--", start + 4);
  const std::string bytes = DecodeBase64(mail.substr(start + 4, end - start - 4));
  const cv::Mat picture =
      cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.data())),
                   cv::IMREAD_COLOR);
  if (picture.empty()) return {-1, -1, -1};
  const cv::Scalar mean = cv::mean(picture);
  return {mean[0], mean[1], mean[2]};
}

std::vector<std::string> UnprefixedLines(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);)
    if (line.size() < 3 || line[0] != '<' || line[1] < '0' || line[1] > '7' || line[2] != '>')
      lines.push_back(line);
  return lines;
}

int CountOccurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    ++count;
  return count;
}
