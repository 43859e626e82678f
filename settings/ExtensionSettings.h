#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "settings/Vardocamdef.h"

// One stored value: its name, type, record field and default.
enum class SettingKind { Integer, Boolean, Text };
struct SettingField {
  const char* name;
  SettingKind kind;
  SettingInteger typVardocam::*integer;
  SettingBoolean typVardocam::*boolean;
  SettingText typVardocam::*text;
  int32_t defaultNumber;  // integers, and booleans as 0 or 1
  const char* defaultText;
};
// The field of a record member, its kind told by the member's type.
constexpr SettingField FieldOf(const char* name, SettingInteger typVardocam::*m, int32_t def) {
  return {name, SettingKind::Integer, m, nullptr, nullptr, def, ""};
}
constexpr SettingField FieldOf(const char* name, SettingBoolean typVardocam::*m, bool def) {
  return {name, SettingKind::Boolean, nullptr, m, nullptr, def ? 1 : 0, ""};
}
constexpr SettingField FieldOf(const char* name, SettingText typVardocam::*m, const char* def) {
  return {name, SettingKind::Text, nullptr, nullptr, m, 0, def};
}

// The 拡張設定 group a setting's row stands in; None: its row is on one of
// the classic tabs, built there.
enum class SettingGroup { None, View, MotionDetail, Mqtt, EventArchive, Remote, Delivery, Camera };
// The control of a row. WideText is a text box made wide enough for a host
// name or topic; File has a button that opens a file chooser, Folder one
// that opens a folder chooser.
enum class SettingInput { Number, Check, Text, WideText, Password, File, Folder };

// A setting stored after the classic ones, as VARDOCAM_EXTENSION_SETTINGS
// describes it.
struct ExtensionSetting {
  SettingField field;
  int32_t least;
  int32_t most;
  SettingGroup group;
  SettingInput input;
  const char* control;
  const char* label;
  const char* unit;
  const char* hint;
};

// How a group lays out its rows: label, control and unit in a line with the
// hint indented below (Rows), or labels in a left column with each hint
// under its control (Form).
enum class GroupLayout { Rows, Form };
struct ExtensionGroup {
  SettingGroup group;
  const char* title;
  const char* name;  // the group box's object name
  GroupLayout layout;
};

// Every extension setting, in the stored order.
const std::vector<ExtensionSetting>& ExtensionSettings();
// The groups of the 拡張設定 tab, top to bottom.
const std::vector<ExtensionGroup>& ExtensionGroups();
// The entry of a stored name; nullptr when there is none.
const ExtensionSetting* FindExtensionSetting(const std::string& name);
