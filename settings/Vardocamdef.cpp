#include "settings/Vardocamdef.h"

#include "platform/ProgramName.h"
#include "settings/ExtensionSettings.h"
#include "settings/ZBRegIni.h"

typVardocam AppSettings;

const char kSettingsSection[] = "SETTING";

namespace {
// The classic values in their load and save order, with each default; the
// extension values follow them, from their own table.
const SettingField kClassicFields[] = {
    FieldOf("WINDOW_TOP", &typVardocam::WINDOW_TOP, 200),
    FieldOf("WINDOW_LEFT", &typVardocam::WINDOW_LEFT, 200),
    FieldOf("CAMERANUMBER", &typVardocam::CAMERANUMBER, 0),
    FieldOf("SOUND", &typVardocam::SOUND, "Alarm.wav"),
    FieldOf("STARTUPMONITORING", &typVardocam::STARTUPMONITORING, false),
    FieldOf("USESOUND", &typVardocam::USESOUND, true),
    FieldOf("USEMAIL", &typVardocam::USEMAIL, true),
    FieldOf("ISMINIMIZE", &typVardocam::ISMINIMIZE, false),
    FieldOf("MAIL_HOSTNAME", &typVardocam::MAIL_HOSTNAME, ""),
    FieldOf("MAIL_CONNECT_TYPE", &typVardocam::MAIL_CONNECT_TYPE, 0),
    FieldOf("MAIL_PORTNUMBER", &typVardocam::MAIL_PORTNUMBER, 25),
    FieldOf("MAIL_USERNAME", &typVardocam::MAIL_USERNAME, ""),
    FieldOf("MAIL_PASSWORD", &typVardocam::MAIL_PASSWORD, ""),
    FieldOf("MAIL_FROMNAME", &typVardocam::MAIL_FROMNAME, ""),
    FieldOf("MAIL_MAILADDRESS", &typVardocam::MAIL_MAILADDRESS, ""),
    FieldOf("MAIL_TOADDRESS", &typVardocam::MAIL_TOADDRESS, ""),
    FieldOf("BINBORDER", &typVardocam::BINBORDER, 100),
    FieldOf("MOVEBORDER", &typVardocam::MOVEBORDER, 4),
    FieldOf("MAIL_R_HOSTNAME", &typVardocam::MAIL_R_HOSTNAME, ""),
    FieldOf("MAIL_R_PORTNUMBER", &typVardocam::MAIL_R_PORTNUMBER, 110),
    FieldOf("MAIL_R_CONNECT_TYPE", &typVardocam::MAIL_R_CONNECT_TYPE, 0),
    FieldOf("MAIL_R_USERNAME", &typVardocam::MAIL_R_USERNAME, ""),
    FieldOf("MAIL_R_PASSWORD", &typVardocam::MAIL_R_PASSWORD, ""),
    FieldOf("IS_CHECK", &typVardocam::IS_CHECK, false),
    FieldOf("CHECK_INTERVAL", &typVardocam::CHECK_INTERVAL, 1),
    FieldOf("START_MOVE_OBJECT", &typVardocam::START_MOVE_OBJECT, 60),
    FieldOf("USE_OOTSU", &typVardocam::USE_OOTSU, true),
};

void LoadField(const ZBRegIni& store, const SettingField& f, typVardocam& settings) {
  switch (f.kind) {
  case SettingKind::Integer:
    settings.*f.integer = store.ReadInteger(kSettingsSection, f.name, f.defaultNumber);
    break;
  case SettingKind::Boolean:
    settings.*f.boolean = store.ReadBool(kSettingsSection, f.name, f.defaultNumber != 0);
    break;
  case SettingKind::Text:
    settings.*f.text = store.ReadString(kSettingsSection, f.name, f.defaultText);
    break;
  }
}

void SaveField(ZBRegIni& store, const SettingField& f, const typVardocam& settings) {
  switch (f.kind) {
  case SettingKind::Integer: store.WriteInteger(kSettingsSection, f.name, settings.*f.integer); break;
  case SettingKind::Boolean: store.WriteBool(kSettingsSection, f.name, settings.*f.boolean); break;
  case SettingKind::Text: store.WriteString(kSettingsSection, f.name, settings.*f.text); break;
  }
}
} // namespace

void LoadSettingsFrom(const ZBRegIni& store, typVardocam& settings) {
  for (const SettingField& f : kClassicFields) LoadField(store, f, settings);
  for (const ExtensionSetting& e : ExtensionSettings()) LoadField(store, e.field, settings);
}

void SaveSettingsTo(ZBRegIni& store, const typVardocam& settings) {
  for (const SettingField& f : kClassicFields) SaveField(store, f, settings);
  for (const ExtensionSetting& e : ExtensionSettings()) SaveField(store, e.field, settings);
}

namespace {
std::string& CurrentProfile() {
  static std::string profile;
  return profile;
}
constexpr char kStoreSuffix[] = ".reg";
} // namespace

void SetSettingsProfile(const std::string& profile) { CurrentProfile() = profile; }

const std::string& SettingsProfile() { return CurrentProfile(); }

std::string SettingsFilePathFor(const std::string& profile) {
  std::string path = ZBRegIni::DefaultFilePath();
  if (profile.empty()) return path;
  const size_t suffix = sizeof(kStoreSuffix) - 1;
  if (path.size() >= suffix && path.compare(path.size() - suffix, suffix, kStoreSuffix) == 0)
    path.erase(path.size() - suffix);
  return path + "-" + profile + kStoreSuffix;
}

std::string SettingsFilePath() { return SettingsFilePathFor(SettingsProfile()); }

bool ValidProfileName(const std::string& profile, std::string* why) {
  const auto fail = [why](const char* text) {
    if (why) *why = text;
    return false;
  };
  if (profile.empty()) return fail("プロファイル名が空です。");
  if (profile.size() > kMaxProfileNameBytes) return fail("プロファイル名が長すぎます (64バイトまで)。");
  if (profile == "." || profile == "..") return fail("プロファイル名に「.」「..」は使えません。");
  for (unsigned char c : profile) {
    if (c == '/' || c == '\\') return fail("プロファイル名に「/」「\\」は使えません。");
    if (c < 0x20 || c == 0x7f) return fail("プロファイル名に制御文字は使えません。");
  }
  return true;
}

std::string CameraName(const typVardocam& settings, const std::string& profile) {
  if (!settings.CAMERA_NAME.empty()) return settings.CAMERA_NAME;
  return profile.empty() ? std::string(kDisplayName) : profile;
}

bool LoadSettings() {
  ZBRegIni store(SettingsFilePath());
  LoadSettingsFrom(store, AppSettings);
  return true;
}

bool SaveSettings() {
  ZBRegIni store(SettingsFilePath());
  SaveSettingsTo(store, AppSettings);
  return store.UpdateFile();
}
