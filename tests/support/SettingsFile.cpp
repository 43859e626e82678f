#include "support/SettingsFile.h"

#include <filesystem>

#include "support/TempDir.h"

std::string SettingsFileText(const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text = "Windows Registry Editor Version 5.00\n\n"
                     "[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam\\SETTING]\n";
  for (const auto& [name, value] : values) text += "\"" + name + "\"=" + value + "\n";
  return text;
}

void WriteSettingsFile(const std::string& configHome,
                       const std::vector<std::pair<std::string, std::string>>& values) {
  std::filesystem::create_directories(configHome + "/Korvane");
  WriteFileBytes(configHome + "/Korvane/Vardocam.reg", SettingsFileText(values));
}
