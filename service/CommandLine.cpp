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

// The window framework's own single-dash options: those that take the next
// word as their value, and those that stand alone. Anything else on a
// windowed start would otherwise be passed over in silence.
const char* const kQtOptionsWithValue[] = {"-platform", "-platformpluginpath", "-platformtheme", "-plugin",
                                           "-qwindowgeometry", "-qwindowicon", "-qwindowtitle", "-session",
                                           "-display", "-geometry", "-style", "-stylesheet", "-title", "-name"};
const char* const kQtOptionsAlone[] = {"-reverse", "-widgetcount", "-nograb", "-dograb", "-sync"};

// 0: not one of Qt's; else how many words it takes, itself included.
int QtOptionWords(const std::string& arg) {
  for (const char* option : kQtOptionsAlone)
    if (arg == option) return 1;
  for (const char* option : kQtOptionsWithValue) {
    if (arg == option) return 2;
    if (arg.rfind(std::string(option) + "=", 0) == 0) return 1;
  }
  return 0;
}
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
    } else if (const int words = QtOptionWords(arg); words > 0) {
      // Qt's own: its value goes with it; a headless start takes none of them.
      if (i + words > argc) {
        line.error = arg + " の後に値がありません。";
        break;
      }
      if (unknown.empty()) unknown = arg;
      i += words - 1;
    } else {
      line.error = (arg[0] == '-' ? "不明なオプションです: " : "不明な引数です: ") + arg;
    }
  }
  if (line.error.empty() && line.headless && !unknown.empty())
    line.error = "不明な引数です: " + unknown;
  return line;
}
