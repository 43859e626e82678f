#include "settings/Vardocamdef.h"

#include "settings/ZBRegIni.h"

typVardocam AppSettings;

const char kSettingsSection[] = "SETTING";

namespace {
enum class Kind { Integer, Boolean, Text };

struct Field {
  const char* name;
  Kind kind;
  int32_t typVardocam::*integer;
  bool typVardocam::*boolean;
  std::string typVardocam::*text;
  int32_t defaultNumber;   // integers, and booleans as 0 or 1
  const char* defaultText;
};

constexpr Field Int(const char* name, int32_t typVardocam::*m, int32_t def) {
  return {name, Kind::Integer, m, nullptr, nullptr, def, ""};
}
constexpr Field Bool(const char* name, bool typVardocam::*m, bool def) {
  return {name, Kind::Boolean, nullptr, m, nullptr, def ? 1 : 0, ""};
}
constexpr Field Text(const char* name, std::string typVardocam::*m, const char* def) {
  return {name, Kind::Text, nullptr, nullptr, m, 0, def};
}

// The load and save order, with each value's default.
const Field kFields[] = {
    Int("WINDOW_TOP", &typVardocam::WINDOW_TOP, 200),
    Int("WINDOW_LEFT", &typVardocam::WINDOW_LEFT, 200),
    Int("CAMERANUMBER", &typVardocam::CAMERANUMBER, 0),
    Text("SOUND", &typVardocam::SOUND, "Alarm.wav"),
    Bool("STARTUPMONITORING", &typVardocam::STARTUPMONITORING, false),
    Bool("USESOUND", &typVardocam::USESOUND, true),
    Bool("USEMAIL", &typVardocam::USEMAIL, true),
    Bool("ISMINIMIZE", &typVardocam::ISMINIMIZE, false),
    Text("MAIL_HOSTNAME", &typVardocam::MAIL_HOSTNAME, ""),
    Int("MAIL_CONNECT_TYPE", &typVardocam::MAIL_CONNECT_TYPE, 0),
    Int("MAIL_PORTNUMBER", &typVardocam::MAIL_PORTNUMBER, 25),
    Text("MAIL_USERNAME", &typVardocam::MAIL_USERNAME, ""),
    Text("MAIL_PASSWORD", &typVardocam::MAIL_PASSWORD, ""),
    Text("MAIL_FROMNAME", &typVardocam::MAIL_FROMNAME, ""),
    Text("MAIL_MAILADDRESS", &typVardocam::MAIL_MAILADDRESS, ""),
    Text("MAIL_TOADDRESS", &typVardocam::MAIL_TOADDRESS, ""),
    Int("BINBORDER", &typVardocam::BINBORDER, 100),
    Int("MOVEBORDER", &typVardocam::MOVEBORDER, 4),
    Text("MAIL_R_HOSTNAME", &typVardocam::MAIL_R_HOSTNAME, ""),
    Int("MAIL_R_PORTNUMBER", &typVardocam::MAIL_R_PORTNUMBER, 110),
    Int("MAIL_R_CONNECT_TYPE", &typVardocam::MAIL_R_CONNECT_TYPE, 0),
    Text("MAIL_R_USERNAME", &typVardocam::MAIL_R_USERNAME, ""),
    Text("MAIL_R_PASSWORD", &typVardocam::MAIL_R_PASSWORD, ""),
    Bool("IS_CHECK", &typVardocam::IS_CHECK, false),
    Int("CHECK_INTERVAL", &typVardocam::CHECK_INTERVAL, 1),
    Int("START_MOVE_OBJECT", &typVardocam::START_MOVE_OBJECT, 60),
    Bool("USE_OOTSU", &typVardocam::USE_OOTSU, true),
    Text("CAMERA_URL", &typVardocam::CAMERA_URL, ""),
    Bool("MAIL_NOVERIFY_CERT", &typVardocam::MAIL_NOVERIFY_CERT, false),
    Bool("MAIL_R_NOVERIFY_CERT", &typVardocam::MAIL_R_NOVERIFY_CERT, false),
    Bool("FIT_TO_WINDOW", &typVardocam::FIT_TO_WINDOW, false),
    Text("MQTT_HOSTNAME", &typVardocam::MQTT_HOSTNAME, ""),
    Int("MQTT_PORTNUMBER", &typVardocam::MQTT_PORTNUMBER, 1883),
    Text("MQTT_USERNAME", &typVardocam::MQTT_USERNAME, ""),
    Text("MQTT_PASSWORD", &typVardocam::MQTT_PASSWORD, ""),
    Bool("MQTT_USETLS", &typVardocam::MQTT_USETLS, false),
    Text("MQTT_TOPIC", &typVardocam::MQTT_TOPIC, ""),
    // Motion detection and alert mails.
    Int("REFERENCE_INTERVAL", &typVardocam::REFERENCE_INTERVAL,
        static_cast<int32_t>(kDefaultReferenceIntervalMs)),
    Int("LIGHTING_CUTOFF", &typVardocam::LIGHTING_CUTOFF, 0),
    Int("MOTION_FRAMES", &typVardocam::MOTION_FRAMES, 0),
    Text("MASK_FILE", &typVardocam::MASK_FILE, ""),
    Int("MAIL_COOLDOWN", &typVardocam::MAIL_COOLDOWN, 0),
};
} // namespace

void LoadSettingsFrom(const ZBRegIni& store, typVardocam& settings) {
  for (const Field& f : kFields) {
    switch (f.kind) {
    case Kind::Integer:
      settings.*f.integer = store.ReadInteger(kSettingsSection, f.name, f.defaultNumber);
      break;
    case Kind::Boolean:
      settings.*f.boolean = store.ReadBool(kSettingsSection, f.name, f.defaultNumber != 0);
      break;
    case Kind::Text:
      settings.*f.text = store.ReadString(kSettingsSection, f.name, f.defaultText);
      break;
    }
  }
}

void SaveSettingsTo(ZBRegIni& store, const typVardocam& settings) {
  for (const Field& f : kFields) {
    switch (f.kind) {
    case Kind::Integer: store.WriteInteger(kSettingsSection, f.name, settings.*f.integer); break;
    case Kind::Boolean: store.WriteBool(kSettingsSection, f.name, settings.*f.boolean); break;
    case Kind::Text: store.WriteString(kSettingsSection, f.name, settings.*f.text); break;
    }
  }
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
