#pragma once
#include <cstdint>
#include <string>

// The reference a frame is compared with is the last frame taken at least
// this long before it: at 10 fps (with some jitter) that is the previous
// frame; at faster rates a walker has moved far enough to be seen.
constexpr uint32_t kDefaultReferenceIntervalMs = 80;

// Every user setting, named by the registry value that stores it.
// Strings are UTF-8.
struct typVardocam {
  int32_t WINDOW_TOP = 0;
  int32_t WINDOW_LEFT = 0;
  int32_t CAMERANUMBER = 0;
  std::string SOUND;
  bool STARTUPMONITORING = false;
  bool USESOUND = false;
  bool USEMAIL = false;
  bool ISMINIMIZE = false;
  std::string MAIL_HOSTNAME;
  int32_t MAIL_PORTNUMBER = 0;
  int32_t MAIL_CONNECT_TYPE = 0;
  std::string MAIL_USERNAME;
  std::string MAIL_PASSWORD;
  std::string MAIL_FROMNAME;
  std::string MAIL_MAILADDRESS;
  std::string MAIL_TOADDRESS;
  int32_t BINBORDER = 0;
  int32_t MOVEBORDER = 0;
  std::string MAIL_R_HOSTNAME;
  int32_t MAIL_R_PORTNUMBER = 0;
  int32_t MAIL_R_CONNECT_TYPE = 0;
  std::string MAIL_R_USERNAME;
  std::string MAIL_R_PASSWORD;
  bool IS_CHECK = false;
  int32_t CHECK_INTERVAL = 0;
  int32_t START_MOVE_OBJECT = 0;
  bool USE_OOTSU = false;
  // A network camera, stream or video file to watch instead of the camera
  // number; empty for the camera.
  std::string CAMERA_URL;
  // Encrypted mail connections skip the certificate check (self-signed
  // servers); sending and receiving side.
  bool MAIL_NOVERIFY_CERT = false;
  bool MAIL_R_NOVERIFY_CERT = false;
  // The picture scaled down to the main window, which can then be resized;
  // off: the picture at its own size, with scroll bars.
  bool FIT_TO_WINDOW = false;
  // The message broker told of motion, alarms and mails; no host, no broker.
  std::string MQTT_HOSTNAME;
  int32_t MQTT_PORTNUMBER = 0;
  std::string MQTT_USERNAME;
  std::string MQTT_PASSWORD;
  bool MQTT_USETLS = false;
  // Topics start with this; empty for "vardocam/<profile or default>".
  std::string MQTT_TOPIC;
  // Motion detection and alert mails beyond the classic settings; each
  // missing value keeps the classic behaviour.
  int32_t REFERENCE_INTERVAL = 0;  // ms between a frame and its reference; 0: the previous frame
  int32_t LIGHTING_CUTOFF = 0;     // % of changed picture taken for lighting; 0: off
  int32_t MOTION_FRAMES = 0;       // frames in a row with motion before an alarm; 0 or 1: off
  std::string MASK_FILE;           // picture of the watched area; empty: all of it
  int32_t MAIL_COOLDOWN = 0;       // least seconds between two alert mails; 0: off
};

// The one settings record of the process.
extern typVardocam AppSettings;

// The section that holds every value.
extern const char kSettingsSection[];

class ZBRegIni;

// Fill AppSettings from the user's store, each missing or unreadable value
// taking its default. Returns true.
bool LoadSettings();
// Write every field to the user's store. False when the file could not be
// written; the previous file is then unchanged.
bool SaveSettings();

// The profile this process works for ("--profile NAME"); empty for the
// default. Set once at start, before LoadSettings.
void SetSettingsProfile(const std::string& profile);
const std::string& SettingsProfile();
// The store of the current profile: the user's store for the default, a
// file of its own beside it for a named profile, so that processes of two
// profiles never rewrite each other's values.
std::string SettingsFilePath();
std::string SettingsFilePathFor(const std::string& profile);

// Profile names become file and lock names: no path separators, no control
// characters, not "." or "..", at most this many bytes.
constexpr size_t kMaxProfileNameBytes = 64;
// True when `profile` can name a profile; otherwise why not, in Japanese.
bool ValidProfileName(const std::string& profile, std::string* why);

// The same on a given store (tests and tools).
void LoadSettingsFrom(const ZBRegIni& store, typVardocam& settings);
void SaveSettingsTo(ZBRegIni& store, const typVardocam& settings);
