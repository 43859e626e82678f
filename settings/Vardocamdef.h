#pragma once
#include <cstdint>
#include <string>

// The reference a frame is compared with is the last frame taken at least
// this long before it: at 10 fps (with some jitter) that is the previous
// frame; at faster rates a walker has moved far enough to be seen.
constexpr uint32_t kDefaultReferenceIntervalMs = 80;
// The longest pause between two alert mails that can be set: a day. Longer
// settings are cut to it (and stay far inside the 32-bit counter).
constexpr int32_t kMaxMailCooldownS = 86400;
// Longest texts of a host name or topic and of a password, in characters;
// the largest port number.
constexpr int kHostNameMaxLength = 255;
constexpr int kPassWordMaxLength = 32;
constexpr int32_t kMaxPortNumber = 65535;
constexpr int kCameraNameMaxLength = 64;

// The value types a setting can have in the record.
using SettingInteger = int32_t;
using SettingBoolean = bool;
using SettingText = std::string;

// Each setting stored after the classic ones, described once: the record's
// field, the stored value and its default follow from the entry, and so
// does its row on the option dialog's 拡張設定 tab. Stored in this order.
//   X(kind, NAME, default, least, most, group, input, control, label, unit, hint)
// kind      Integer, Boolean or Text
// least/most  numbers: the range the box is made for (its length follows
//           from `most`); texts: `most` is the longest text a box takes, 0 any
// group     the 拡張設定 group of its row, or None for a row of its own on
//           a classic tab
// input     the row's control: Number, Check, Text, WideText, Password, File, Folder
// control   the control's object name; label, unit (a file box: the chooser's
//           filter) and hint are what the row says
#define VARDOCAM_EXTENSION_SETTINGS(X)                                                         \
  /* A network camera, stream or video file to watch instead of the camera number. */        \
  X(Text, CAMERA_URL, "", 0, 0, None, Text, "", "", "", "")                                   \
  /* Encrypted mail connections skip the certificate check (self-signed servers). */           \
  X(Boolean, MAIL_NOVERIFY_CERT, false, 0, 1, None, Check, "", "", "", "")                     \
  X(Boolean, MAIL_R_NOVERIFY_CERT, false, 0, 1, None, Check, "", "", "", "")                   \
  X(Boolean, FIT_TO_WINDOW, false, 0, 1, View, Check, "FitToWindowCBox",                       \
    "映像をウィンドウに合わせて縮小表示する", "",                                              \
    "※ウィンドウの大きさを変えられます。検出とメールは元の大きさの映像です。")                \
  /* The message broker told of motion, alarms and mails; no host, no broker. */              \
  X(Text, MQTT_HOSTNAME, "", 0, kHostNameMaxLength, Mqtt, WideText, "MqttHostNameEdit",         \
    "ブローカー", "", "※空欄ならMQTTは使いません")                                            \
  X(Integer, MQTT_PORTNUMBER, 1883, 0, kMaxPortNumber, Mqtt, Number, "MqttPortNumberEdit",     \
    "ポート番号", "", "※通常は1883、TLSでは8883")                                             \
  X(Boolean, MQTT_USETLS, false, 0, 1, Mqtt, Check, "MqttUseTlsCBox", "TLSで接続する", "",     \
    "※証明書はシステムの認証局で確認します")                                                  \
  X(Text, MQTT_USERNAME, "", 0, 0, Mqtt, Text, "MqttUserNameEdit", "ユーザ名", "",             \
    "※認証のないブローカーでは空欄")                                                          \
  X(Text, MQTT_PASSWORD, "", 0, kPassWordMaxLength, Mqtt, Password, "MqttPassWordEdit",          \
    "パスワード", "", "※ユーザ名とともに送ります")                                             \
  /* Topics start with this; empty for "vardocam/<profile or default>". */                    \
  X(Text, MQTT_TOPIC, "", 0, kHostNameMaxLength, Mqtt, WideText, "MqttTopicEdit", "トピック",   \
    "", "※空欄なら「vardocam/プロファイル名」")                                               \
  /* Motion detection and alert mails beyond the classic settings. */                         \
  X(Integer, REFERENCE_INTERVAL, static_cast<int32_t>(kDefaultReferenceIntervalMs), 0, 9999,    \
    MotionDetail, Number, "ReferenceIntervalEdit", "比較する映像の間隔", "ミリ秒",              \
    "※この時間以上前の映像と比較。「0」で直前の映像(標準は80)")                               \
  X(Integer, LIGHTING_CUTOFF, 0, 0, 100, MotionDetail, Number, "LightingCutoffEdit",            \
    "照明の変化とみなす変化量", "%",                                                           \
    "※画面のこの割合を超えて変わったら照明の変化として無視。「0」で無効")                       \
  X(Integer, MOTION_FRAMES, 0, 0, 999, MotionDetail, Number, "MotionFramesEdit",                \
    "警報までの連続検出", "フレーム", "※この数だけ続けて動体を検出したら警報。「0」「1」で無効") \
  X(Integer, MOVEBORDER_PERMILLE, 0, 0, 999, MotionDetail, Number, "MoveBorderPermilleEdit",    \
    "細かい動体検出しきい値", "0.1%",                                                          \
    "※遠くの小さな人にも。画面の0.1%単位。「0」なら基本設定のしきい値(%)")                     \
  X(Boolean, PERSON_CHECK, false, 0, 1, MotionDetail, Check, "PersonCheckCBox",                \
    "人物を確認してから警報する", "",                                                          \
    "※動いた所に人が見つかったときだけ警報します(木の揺れなどでは鳴りません)")                 \
  X(Text, MASK_FILE, "", 0, 1024, MotionDetail, File, "MaskFileEdit", "マスク画像",             \
    "画像 (*.png *.pgm);;すべてのファイル (*)",                                                \
    "※白い部分だけを監視する画像(PNG/PGM)。空欄ならマスクなし")                                \
  X(Integer, MAIL_COOLDOWN, 0, 0, kMaxMailCooldownS, MotionDetail, Number, "MailCooldownEdit",  \
    "警報メールの最短間隔", "秒", "※前の警報メールからこの秒数は送らない(音は鳴る)。「0」で無効") \
  /* Tells two cameras apart in Home Assistant, the status line and the journal. */         \
  X(Text, CAMERA_NAME, "", 0, kCameraNameMaxLength, View, Text, "CameraNameEdit",              \
    "カメラの名前", "", "※MQTT・状態表示・ログで使う名前。空欄ならプロファイル名")           \
  /* Every alarm kept as pictures and a clip in a folder of its own. */                       \
  X(Boolean, EVENT_ARCHIVE, false, 0, 1, EventArchive, Check, "EventArchiveCBox",              \
    "警報ごとに画像と動画を保存する", "", "※警報の前後の映像をイベントとして記録します")        \
  X(Text, EVENT_DIR, "", 0, 1024, EventArchive, Folder, "EventDirEdit", "保存先フォルダ", "",    \
    "※空欄なら ~/.local/share/vardocam/events/プロファイル名")                                \
  X(Integer, EVENT_PRE_SECONDS, 3, 0, 30, EventArchive, Number, "EventPreSecondsEdit",         \
    "警報の前から記録", "秒", "※警報より前のこの秒数も動画に入れます")                         \
  X(Integer, EVENT_POST_SECONDS, 3, 0, 60, EventArchive, Number, "EventPostSecondsEdit",       \
    "警報の後まで記録", "秒", "※警報が終わってからこの秒数まで記録します")                     \
  X(Integer, EVENT_MAX_MB, 2048, 0, 999999, EventArchive, Number, "EventMaxMbEdit",            \
    "保存する容量の上限", "MB", "※超えたら古いイベントから削除します")                         \
  X(Integer, EVENT_MAX_DAYS, 30, 0, 3650, EventArchive, Number, "EventMaxDaysEdit",            \
    "保存する日数", "日", "※これより古いイベントは削除します")                                 \
  X(Boolean, EVENT_SUMMARY_MAIL, false, 0, 1, EventArchive, Check, "EventSummaryMailCBox",     \
    "イベントの終わりにまとめのメールを送る", "",                                              \
    "※イベント中の映像を並べた画像を1枚送ります")                                             \
  /* Commands by mail: both a PIN and allowed senders, or none. */                            \
  X(Text, REMOTE_PIN, "", 0, kPassWordMaxLength, Remote, Password, "RemotePinEdit",            \
    "暗証番号 (PIN)", "", "※件名「監視開始 PIN」などで操作。空欄ならメールでの操作はしません") \
  X(Text, REMOTE_SENDERS, "", 0, 1024, Remote, WideText, "RemoteSendersEdit",                  \
    "操作を許す差出人", "", "※メールアドレスをカンマで区切って。空欄ならメールでの操作はしません") \
  X(Text, ARM_SCHEDULE, "", 0, 1024, Remote, WideText, "ArmScheduleEdit", "監視する時間帯", "", \
    "※例「月-金 08:30-18:00, 土,日 00:00-24:00」。空欄なら予定なし")                          \
  /* Alert mails kept and sent again; mails about the camera's own health. */                 \
  X(Boolean, MAIL_RETRY, false, 0, 1, Delivery, Check, "MailRetryCBox",                        \
    "送れなかった警報メールを後で送り直す", "", "※送信できるまで保存して再送します")           \
  X(Boolean, HEALTH_MAIL, false, 0, 1, Delivery, Check, "HealthMailCBox",                      \
    "カメラの異常をメールで知らせる", "",                                                      \
    "※映像が途絶えた・覆われた・向きが変わった・記録先が一杯のとき")                   \
  /* RTSP cameras send over TCP unless told to use UDP (fewer delays, lost packets). */    \
  X(Boolean, CAMERA_RTSP_UDP, false, 0, 1, Camera, Check, "CameraRtspUdpCBox",                 \
    "RTSPの映像をUDPで受け取る", "",                                                           \
    "※通常はTCP。UDPは遅れが少ない代わりに、途中の機器によっては映像が乱れたり届きません")   \
  /* The camera's smaller stream to watch; clips keep coming from CAMERA_URL. */                \
  X(Text, CAMERA_DETECT_URL, "", 0, 1024, Camera, WideText, "CameraDetectUrlEdit",             \
    "検出用の映像アドレス", "",                                                                \
    "※サブストリームのアドレス。検出・表示・画像に使い、動画は映像アドレスから記録。空欄なら映像アドレスだけを使用")  \
  /* The sender's name of the mail tab in From; off: the address alone, as always. */          \
  X(Boolean, MAIL_FROMNAME_SHOWN, false, 0, 1, Delivery, Check, "MailFromNameShownCBox",         \
    "差出人に「名前」を表示する", "", "※メール設定の「名前」をメールの差出人(From)に入れます") \
  /* With events kept: one alert mail for the alarm that began an event, the rest left to   \
     the event folder and its summary; off (and without events): a mail per alarm. */         \
  X(Boolean, ALERT_MAIL_FIRST_ONLY, false, 0, 1, EventArchive, Check, "AlertMailFirstOnlyCBox", \
    "警報メールはイベントの最初の警報だけ送る", "",                                          \
    "※オフ: 警報のたびに1通(動きが続けば約5秒ごと)。オン: イベントごとに1通。保存しないときは無効")

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
  // Every setting stored after the classic ones, from its one description.
#define VARDOCAM_DECLARE_SETTING(kind, NAME, ...) Setting##kind NAME{};
  VARDOCAM_EXTENSION_SETTINGS(VARDOCAM_DECLARE_SETTING)
#undef VARDOCAM_DECLARE_SETTING
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

// The camera as the user named it (CAMERA_NAME), else the profile's name,
// else the display name.
std::string CameraName(const typVardocam& settings, const std::string& profile);

// The same on a given store (tests and tools).
void LoadSettingsFrom(const ZBRegIni& store, typVardocam& settings);
void SaveSettingsTo(ZBRegIni& store, const typVardocam& settings);
