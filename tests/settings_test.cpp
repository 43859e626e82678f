#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>
#include <unistd.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "settings/Vardocamdef.h"
#include "settings/ZBRegIni.h"
#include "support/TempDir.h"

namespace {
const std::string kHead =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam\\SETTING]\n";

typVardocam LoadFromText(const TempDir& dir, const std::string& text) {
  WriteFileBytes(dir.File("Vardocam.reg"), text);
  ZBRegIni store(dir.File("Vardocam.reg"));
  typVardocam s;
  LoadSettingsFrom(store, s);
  return s;
}

void ExpectDefaults(const typVardocam& s) {
  EXPECT_EQ(s.WINDOW_TOP, 200);
  EXPECT_EQ(s.WINDOW_LEFT, 200);
  EXPECT_EQ(s.CAMERANUMBER, 0);
  EXPECT_EQ(s.SOUND, "Alarm.wav");
  EXPECT_FALSE(s.STARTUPMONITORING);
  EXPECT_TRUE(s.USESOUND);
  EXPECT_TRUE(s.USEMAIL);
  EXPECT_FALSE(s.ISMINIMIZE);
  EXPECT_EQ(s.MAIL_HOSTNAME, "");
  EXPECT_EQ(s.MAIL_PORTNUMBER, 25);
  EXPECT_EQ(s.MAIL_CONNECT_TYPE, 0);
  EXPECT_EQ(s.BINBORDER, 100);
  EXPECT_EQ(s.MOVEBORDER, 4);
  EXPECT_EQ(s.MAIL_R_PORTNUMBER, 110);
  EXPECT_EQ(s.MAIL_R_CONNECT_TYPE, 0);
  EXPECT_FALSE(s.IS_CHECK);
  EXPECT_EQ(s.CHECK_INTERVAL, 1);
  EXPECT_EQ(s.START_MOVE_OBJECT, 60);
  EXPECT_TRUE(s.USE_OOTSU);
  EXPECT_EQ(s.CAMERA_URL, "");
  // Motion detail: the usual comparison interval, everything else off.
  EXPECT_EQ(s.REFERENCE_INTERVAL, 80);
  EXPECT_EQ(s.LIGHTING_CUTOFF, 0);
  EXPECT_EQ(s.MOTION_FRAMES, 0);
  EXPECT_EQ(s.MASK_FILE, "");
  EXPECT_EQ(s.MAIL_COOLDOWN, 0);
}
} // namespace

TEST(Settings, FirstStartTakesDefaultsAndFirstSaveWritesEveryValueTyped) {
  TempDir dir;
  const std::string path = dir.File("sub/dir/Vardocam.reg");  // folder missing
  {
    ZBRegIni store(path);
    typVardocam s;
    LoadSettingsFrom(store, s);
    ExpectDefaults(s);
    SaveSettingsTo(store, s);
    ASSERT_TRUE(store.UpdateFile());
  }
  ZBRegIni reread(path);
  const char* ints[] = {"WINDOW_TOP", "WINDOW_LEFT", "CAMERANUMBER", "MAIL_CONNECT_TYPE",
                        "MAIL_PORTNUMBER", "BINBORDER", "MOVEBORDER", "MAIL_R_PORTNUMBER",
                        "MAIL_R_CONNECT_TYPE", "CHECK_INTERVAL", "START_MOVE_OBJECT"};
  for (const char* name : ints)
    EXPECT_EQ(reread.TypeOf("SETTING", name), ZBRegIni::ValueType::DWord) << name;
  const char* bools[] = {"STARTUPMONITORING", "USESOUND", "USEMAIL", "ISMINIMIZE", "IS_CHECK",
                         "USE_OOTSU"};
  for (const char* name : bools)
    EXPECT_EQ(reread.TypeOf("SETTING", name), ZBRegIni::ValueType::String) << name;
  EXPECT_EQ(reread.ReadString("SETTING", "USESOUND", "x"), "1");
  EXPECT_EQ(reread.ReadString("SETTING", "ISMINIMIZE", "x"), "0");

  const std::string text = ReadFileBytes(path);
  EXPECT_EQ(text.rfind(kHead.substr(0, 37), 0), 0u) << text;
  EXPECT_NE(text.find("\"MAIL_PORTNUMBER\"=dword:00000019\n"), std::string::npos);
  EXPECT_NE(text.find("\"SOUND\"=\"Alarm.wav\"\n"), std::string::npos);
  // The 27 values of the original, the camera address, then the extension
  // values after it; a missing extension value takes its "off" default.
  const std::vector<std::pair<std::string, std::string>> extensions = {
      {"MAIL_NOVERIFY_CERT", "\"0\""},
      {"MAIL_R_NOVERIFY_CERT", "\"0\""},
      {"FIT_TO_WINDOW", "\"0\""},
      {"MQTT_HOSTNAME", "\"\""},
      {"MQTT_PORTNUMBER", "dword:0000075b"},
      {"MQTT_USERNAME", "\"\""},
      {"MQTT_PASSWORD", "\"\""},
      {"MQTT_USETLS", "\"0\""},
      {"MQTT_TOPIC", "\"\""},
      {"REFERENCE_INTERVAL", "dword:00000050"},
      {"LIGHTING_CUTOFF", "dword:00000000"},
      {"MOTION_FRAMES", "dword:00000000"},
      {"MOVEBORDER_PERMILLE", "dword:00000000"},
      {"PERSON_CHECK", "\"0\""},
      {"MASK_FILE", "\"\""},
      {"MAIL_COOLDOWN", "dword:00000000"},
      {"CAMERA_NAME", "\"\""},
      {"EVENT_ARCHIVE", "\"0\""},
      {"EVENT_DIR", "\"\""},
      {"EVENT_PRE_SECONDS", "dword:00000003"},
      {"EVENT_POST_SECONDS", "dword:00000003"},
      {"EVENT_MAX_MB", "dword:00000800"},
      {"EVENT_MAX_DAYS", "dword:0000001e"},
      {"EVENT_SUMMARY_MAIL", "\"0\""},
      {"REMOTE_PIN", "\"\""},
      {"REMOTE_SENDERS", "\"\""},
      {"ARM_SCHEDULE", "\"\""},
      {"MAIL_RETRY", "\"0\""},
      {"HEALTH_MAIL", "\"0\""},
      {"CAMERA_RTSP_UDP", "\"0\""},
      {"CAMERA_DETECT_URL", "\"\""},
      {"MAIL_FROMNAME_SHOWN", "\"0\""},
      {"ALERT_MAIL_FIRST_ONLY", "\"0\""},
  };
  size_t lines = 0;
  for (size_t p = text.find("\n\""); p != std::string::npos; p = text.find("\n\"", p + 1)) ++lines;
  EXPECT_EQ(lines, 28u + extensions.size());
  for (const auto& [name, stored] : extensions) {
    EXPECT_LT(text.find("\"CAMERA_URL\""), text.find("\"" + name + "\"")) << name;
    EXPECT_NE(text.find("\"" + name + "\"=" + stored + "\n"), std::string::npos) << name;
  }
  // The save order is the load order, the camera address last.
  EXPECT_LT(text.find("\"WINDOW_TOP\""), text.find("\"WINDOW_LEFT\""));
  EXPECT_LT(text.find("\"MAIL_HOSTNAME\""), text.find("\"MAIL_CONNECT_TYPE\""));
  EXPECT_LT(text.find("\"MAIL_CONNECT_TYPE\""), text.find("\"MAIL_PORTNUMBER\""));
  EXPECT_LT(text.find("\"USE_OOTSU\""), text.find("\"CAMERA_URL\""));
  EXPECT_LT(text.find("\"CAMERA_URL\""), text.find("\"FIT_TO_WINDOW\""));
  EXPECT_LT(text.find("\"CAMERA_URL\""), text.find("\"REFERENCE_INTERVAL\""));

  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Settings, TypeRulesOfStoredValues) {
  TempDir dir;
  const std::string path = dir.File("Vardocam.reg");
  typVardocam s = LoadFromText(dir, kHead +
                                        "\"CHECK_INTERVAL\"=\"15\"\n"
                                        "\"BINBORDER\"=\"abc\"\n"
                                        "\"MOVEBORDER\"=\"99999999999\"\n"
                                        "\"CAMERANUMBER\"=dword:ffffffff\n"
                                        "\"USE_OOTSU\"=dword:00000005\n"
                                        "\"USESOUND\"=\"0\"\n"
                                        "\"USEMAIL\"=\"x\"\n"
                                        "\"SOUND\"=\"\"\n"
                                        "\"START_MOVE_OBJECT\"=hex:01,02\n"
                                        "\"MAIL_HOSTNAME\"=dword:00000001\n");
  EXPECT_EQ(s.CHECK_INTERVAL, 15);
  EXPECT_EQ(s.BINBORDER, 100);         // not a number: default
  EXPECT_EQ(s.MOVEBORDER, 4);          // out of range: default
  EXPECT_EQ(s.CAMERANUMBER, -1);       // taken as stored, not clamped
  EXPECT_TRUE(s.USE_OOTSU);            // any non-zero number is true
  EXPECT_FALSE(s.USESOUND);
  EXPECT_TRUE(s.USEMAIL);              // unreadable: default true
  EXPECT_EQ(s.SOUND, "");              // empty stays empty
  EXPECT_EQ(s.START_MOVE_OBJECT, 60);  // another type: default
  EXPECT_EQ(s.MAIL_HOSTNAME, "");      // a DWORD is no string

  ZBRegIni store(path);
  SaveSettingsTo(store, s);
  ASSERT_TRUE(store.UpdateFile());
  const std::string text = ReadFileBytes(path);
  // A value that exists as a string is written back as a string.
  EXPECT_NE(text.find("\"CHECK_INTERVAL\"=\"15\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"BINBORDER\"=\"100\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"USE_OOTSU\"=\"1\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"CAMERANUMBER\"=dword:ffffffff\n"), std::string::npos);
  // A value of another type becomes a DWORD.
  EXPECT_NE(text.find("\"START_MOVE_OBJECT\"=dword:0000003c\n"), std::string::npos);
}

TEST(Settings, EveryFieldSurvivesARoundTripIncludingBothPasswords) {
  TempDir dir;
  const std::string path = dir.File("Vardocam.reg");
  typVardocam s;
  s.WINDOW_TOP = -32;
  s.WINDOW_LEFT = 1900;
  s.CAMERANUMBER = 2;
  s.SOUND = "警報 \"鳴る\".wav";
  s.STARTUPMONITORING = true;
  s.USESOUND = false;
  s.USEMAIL = false;
  s.ISMINIMIZE = true;
  s.MAIL_HOSTNAME = "smtp.example.jp";
  s.MAIL_PORTNUMBER = 587;
  s.MAIL_CONNECT_TYPE = 1;
  s.MAIL_USERNAME = "user";
  s.MAIL_PASSWORD = "p\\a\"ss=word";
  s.MAIL_FROMNAME = "防犯 太郎";
  s.MAIL_MAILADDRESS = "from@example.jp";
  s.MAIL_TOADDRESS = "to@example.jp";
  s.BINBORDER = 0;
  s.MOVEBORDER = 100;
  s.MAIL_R_HOSTNAME = "pop.example.jp";
  s.MAIL_R_PORTNUMBER = 995;
  s.MAIL_R_CONNECT_TYPE = 7;
  s.MAIL_R_USERNAME = "ruser";
  s.MAIL_R_PASSWORD = "other\r\nsecret";
  s.IS_CHECK = true;
  s.CHECK_INTERVAL = 0;
  s.START_MOVE_OBJECT = -5;
  s.USE_OOTSU = false;
  s.CAMERA_URL = "rtsp://127.0.0.1:8554/cam";
  {
    ZBRegIni store(path);
    SaveSettingsTo(store, s);
    ASSERT_TRUE(store.UpdateFile());
  }
  ZBRegIni store(path);
  typVardocam r;
  LoadSettingsFrom(store, r);
  EXPECT_EQ(r.WINDOW_TOP, s.WINDOW_TOP);
  EXPECT_EQ(r.WINDOW_LEFT, s.WINDOW_LEFT);
  EXPECT_EQ(r.CAMERANUMBER, s.CAMERANUMBER);
  EXPECT_EQ(r.SOUND, s.SOUND);
  EXPECT_EQ(r.STARTUPMONITORING, s.STARTUPMONITORING);
  EXPECT_EQ(r.USESOUND, s.USESOUND);
  EXPECT_EQ(r.USEMAIL, s.USEMAIL);
  EXPECT_EQ(r.ISMINIMIZE, s.ISMINIMIZE);
  EXPECT_EQ(r.MAIL_HOSTNAME, s.MAIL_HOSTNAME);
  EXPECT_EQ(r.MAIL_PORTNUMBER, s.MAIL_PORTNUMBER);
  EXPECT_EQ(r.MAIL_CONNECT_TYPE, s.MAIL_CONNECT_TYPE);
  EXPECT_EQ(r.MAIL_USERNAME, s.MAIL_USERNAME);
  EXPECT_EQ(r.MAIL_PASSWORD, s.MAIL_PASSWORD);
  EXPECT_EQ(r.MAIL_FROMNAME, s.MAIL_FROMNAME);
  EXPECT_EQ(r.MAIL_MAILADDRESS, s.MAIL_MAILADDRESS);
  EXPECT_EQ(r.MAIL_TOADDRESS, s.MAIL_TOADDRESS);
  EXPECT_EQ(r.BINBORDER, s.BINBORDER);
  EXPECT_EQ(r.MOVEBORDER, s.MOVEBORDER);
  EXPECT_EQ(r.MAIL_R_HOSTNAME, s.MAIL_R_HOSTNAME);
  EXPECT_EQ(r.MAIL_R_PORTNUMBER, s.MAIL_R_PORTNUMBER);
  EXPECT_EQ(r.MAIL_R_CONNECT_TYPE, s.MAIL_R_CONNECT_TYPE);
  EXPECT_EQ(r.MAIL_R_USERNAME, s.MAIL_R_USERNAME);
  EXPECT_EQ(r.MAIL_R_PASSWORD, s.MAIL_R_PASSWORD);
  EXPECT_EQ(r.IS_CHECK, s.IS_CHECK);
  EXPECT_EQ(r.CHECK_INTERVAL, s.CHECK_INTERVAL);
  EXPECT_EQ(r.START_MOVE_OBJECT, s.START_MOVE_OBJECT);
  EXPECT_EQ(r.USE_OOTSU, s.USE_OOTSU);
  EXPECT_EQ(r.CAMERA_URL, s.CAMERA_URL);
  // Saving the same record again gives the same file: the tray's exit path
  // saves twice.
  const std::string first = ReadFileBytes(path);
  {
    ZBRegIni again(path);
    SaveSettingsTo(again, r);
    ASSERT_TRUE(again.UpdateFile());
  }
  EXPECT_EQ(ReadFileBytes(path), first);
}

TEST(Settings, DamagedFilesNeverStopTheLoadAndOnlyTheUnreadableTakeDefaults) {
  TempDir dir;
  ExpectDefaults(LoadFromText(dir, ""));
  const char garbage[] = "\x00\xff\xfe\x01garbage\x00\n[\n\"";
  ExpectDefaults(LoadFromText(dir, std::string(garbage, sizeof garbage - 1)));
  ExpectDefaults(LoadFromText(dir, kHead + "\"MOVEBORDER\"=dword:0000"));  // cut short
  ExpectDefaults(LoadFromText(dir, "[HKEY_CURRENT_USER\\Software\\Other\\SETTING]\n"
                                   "\"MOVEBORDER\"=dword:00000009\n"));

  typVardocam s = LoadFromText(dir, "\xEF\xBB\xBF" + kHead +
                                        "MOVEBORDER=dword:00000009\n"  // unquoted name
                                        "\"BINBORDER\"=dword:123456789\n"  // too many digits
                                        "\"MAIL_HOSTNAME\"=\"unterminated\n"
                                        "\"MAIL_USERNAME\"=\"a\"trailing\n"
                                        "\"CHECK_INTERVAL\"=dword:00000002\r\n"
                                        "\"CHECK_INTERVAL\"=dword:00000003\n"  // duplicate: last wins
                                        "\"START_MOVE_OBJECT\"=dword:0000000a");  // no final newline
  EXPECT_EQ(s.MOVEBORDER, 4);
  EXPECT_EQ(s.BINBORDER, 100);
  EXPECT_EQ(s.MAIL_HOSTNAME, "");
  EXPECT_EQ(s.MAIL_USERNAME, "");
  EXPECT_EQ(s.CHECK_INTERVAL, 3);
  EXPECT_EQ(s.START_MOVE_OBJECT, 10);
}

TEST(Settings, FileBeyondTheSizeLimitIsReadUpToItsLastWholeLine) {
  TempDir dir;
  std::string text = kHead + "\"MOVEBORDER\"=dword:00000007\n";
  text += ";" + std::string(ZBRegIni::kMaxFileBytes - 10 - text.size() - 2, 'x') + "\n";
  // This line straddles the limit: read in part it would give a wrong value.
  text += "\"BINBORDER\"=dword:00000011\n\"USESOUND\"=\"0\"\n";
  ASSERT_GT(text.size(), ZBRegIni::kMaxFileBytes);
  typVardocam s = LoadFromText(dir, text);
  EXPECT_EQ(s.MOVEBORDER, 7);
  EXPECT_EQ(s.BINBORDER, 100);
  EXPECT_TRUE(s.USESOUND);
}

TEST(Settings, ValuesOfOtherProgramsAndSectionsAreKept) {
  TempDir dir;
  const std::string path = dir.File("Vardocam.reg");
  WriteFileBytes(path, kHead + "\"FUTURE\"=hex:01,02\n\"MOVEBORDER\"=dword:00000009\n\n"
                               "[HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam\\OTHER]\n"
                               "\"X\"=\"y\"\n");
  {
    ZBRegIni store(path);
    typVardocam s;
    LoadSettingsFrom(store, s);
    EXPECT_EQ(s.MOVEBORDER, 9);
    SaveSettingsTo(store, s);
    ASSERT_TRUE(store.UpdateFile());
  }
  const std::string text = ReadFileBytes(path);
  EXPECT_NE(text.find("\"FUTURE\"=hex:01,02\n"), std::string::npos) << text;
  ZBRegIni reread(path);
  EXPECT_EQ(reread.ReadString("OTHER", "X", ""), "y");
}

TEST(Settings, FailedSaveLeavesThePreviousFileWholeAndReportsFalse) {
  TempDir dir;
  const std::string path = dir.File("Vardocam.reg");
  WriteFileBytes(path, kHead + "\"MOVEBORDER\"=dword:00000009\n");
  const std::string before = ReadFileBytes(path);

  ZBRegIni store(path);
  typVardocam s;
  LoadSettingsFrom(store, s);
  s.MOVEBORDER = 50;
  SaveSettingsTo(store, s);
  // A folder where the file should go makes the final rename fail, for
  // root too (root writes into read-only folders).
  ASSERT_EQ(rename(path.c_str(), dir.File("moved").c_str()), 0);
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_FALSE(store.UpdateFile());
  ASSERT_EQ(rmdir(path.c_str()), 0);
  ASSERT_EQ(rename(dir.File("moved").c_str(), path.c_str()), 0);
  EXPECT_EQ(ReadFileBytes(path), before);
  // No temporary file is left behind.
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);

  ZBRegIni intoFile(dir.File("Vardocam.reg/child.reg"));
  intoFile.WriteInteger("SETTING", "MOVEBORDER", 1);
  EXPECT_FALSE(intoFile.UpdateFile());
}

TEST(Settings, LoadAndSaveUseTheUsersConfigFolder) {
  TempDir dir;
  ASSERT_EQ(setenv("XDG_CONFIG_HOME", dir.Path().c_str(), 1), 0);
  EXPECT_EQ(ZBRegIni::DefaultFilePath(), dir.Path() + "/Korvane/Vardocam.reg");
  AppSettings = typVardocam{};
  EXPECT_TRUE(LoadSettings());
  ExpectDefaults(AppSettings);
  AppSettings.MAIL_PASSWORD = "send";
  AppSettings.MAIL_R_PASSWORD = "receive";
  EXPECT_TRUE(SaveSettings());
  AppSettings = typVardocam{};
  LoadSettings();
  EXPECT_EQ(AppSettings.MAIL_PASSWORD, "send");
  EXPECT_EQ(AppSettings.MAIL_R_PASSWORD, "receive");
  unsetenv("XDG_CONFIG_HOME");
}
