#pragma once
#include <cstdint>
#include <string>

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

// The same on a given store (tests and tools).
void LoadSettingsFrom(const ZBRegIni& store, typVardocam& settings);
void SaveSettingsTo(ZBRegIni& store, const typVardocam& settings);
