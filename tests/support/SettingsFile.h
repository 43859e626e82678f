#pragma once
#include <string>
#include <utility>
#include <vector>

// Writes a settings file in the store's format: each value is a (name,
// text) pair whose text is written as it stands after the "=" (for example
// "dword:00000001" or "\"Alarm.wav\"").
std::string SettingsFileText(const std::vector<std::pair<std::string, std::string>>& values);
// Makes <configHome>/Korvane/Vardocam.reg with those values.
void WriteSettingsFile(const std::string& configHome,
                       const std::vector<std::pair<std::string, std::string>>& values);
