#include "service/CommandLine.h"

#include <cstring>

#include "settings/Vardocamdef.h"

const char kUsageText[] =
    "使い方: vardocam [--headless] [--profile 名前]\n"
    "  --headless        画面なしで監視します (サービス用)\n"
    "  --profile 名前    その名前の設定・多重起動防止・作業フォルダで動きます\n"
    "  --help            この説明を表示して終了します\n"
    "  --version         版を表示して終了します\n";

namespace {
constexpr char kHeadless[] = "--headless";
constexpr char kProfile[] = "--profile";
constexpr char kProfileIs[] = "--profile=";
constexpr char kHelp[] = "--help";
constexpr char kShortHelp[] = "-h";
constexpr char kVersion[] = "--version";
constexpr char kLongOption[] = "--";
} // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  bool profileGiven = false;
  std::string unknown;
  const auto takeProfile = [&](const std::string& name) {
    if (profileGiven) {
      line.error = "--profile が二度指定されています。";
      return;
    }
    profileGiven = true;
    std::string why;
    if (!ValidProfileName(name, &why))
      line.error = why;
    else
      line.profile = name;
  };
  for (int i = 1; i < argc && line.error.empty(); ++i) {
    const std::string arg = argv[i];
    if (arg == kHeadless) {
      line.headless = true;
    } else if (arg == kProfile) {
      if (i + 1 >= argc) {
        line.error = "--profile の後にプロファイル名がありません。";
        break;
      }
      takeProfile(argv[++i]);
    } else if (arg.compare(0, std::strlen(kProfileIs), kProfileIs) == 0) {
      takeProfile(arg.substr(std::strlen(kProfileIs)));
    } else if (arg == kHelp || arg == kShortHelp) {
      line.help = true;
    } else if (arg == kVersion) {
      line.version = true;
    } else if (arg.compare(0, std::strlen(kLongOption), kLongOption) == 0) {
      line.error = "不明なオプションです: " + arg;
    } else if (unknown.empty()) {
      unknown = arg;
    }
  }
  if (line.error.empty() && line.headless && !unknown.empty())
    line.error = "不明な引数です: " + unknown;
  return line;
}
