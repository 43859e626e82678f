#include "mqtt/MqttTopics.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

const char kDiscoveryPrefix[] = "homeassistant";

namespace {
constexpr char kRootTopic[] = "vardocam";
constexpr char kDefaultProfileTopic[] = "default";
const char kDeviceName[] = "防犯カメラ・ヴァルド";

std::string Under(const std::string& prefix, const char* leaf) { return prefix + "/" + leaf; }

bool IdChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// Letters, digits, '_' and '-' kept, the rest '_': the ids as they always were.
std::string AsciiId(const std::string& text) {
  std::string id = text;
  for (char& c : id)
    if (!IdChar(c)) c = '_';
  return id;
}

// FNV-1a: the same eight hex digits for a name on every machine and build,
// which std::hash does not promise.
std::string NameHash(const std::string& text) {
  constexpr uint32_t kFnvOffsetBasis = 2166136261u;
  constexpr uint32_t kFnvPrime = 16777619u;
  uint32_t hash = kFnvOffsetBasis;
  for (unsigned char c : text) hash = (hash ^ c) * kFnvPrime;
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(hash));
  return hex;
}

std::string Device(const std::string& node, const std::string& device) {
  return "\"device\":{\"identifiers\":[" + JsonString(node) + "],\"name\":" + JsonString(device) +
         ",\"manufacturer\":\"Korvane\",\"model\":\"vardocam\"}";
}

} // namespace

std::string DefaultTopicPrefix(const std::string& profile) {
  if (profile.empty()) return std::string(kRootTopic) + "/" + kDefaultProfileTopic;
  std::string level = profile;
  bool wildcard = false;
  for (char& c : level)
    if (c == '+' || c == '#') {
      c = '_';
      wildcard = true;
    }
  if (wildcard) level += "_" + NameHash(profile);
  return std::string(kRootTopic) + "/" + level;
}

std::string TopicPrefix(const std::string& configured, const std::string& profile) {
  std::string prefix = configured;
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  while (!prefix.empty() && prefix.front() == '/') prefix.erase(0, 1);
  if (prefix.empty()) prefix = DefaultTopicPrefix(profile);
  for (char& c : prefix)
    if (c == '+' || c == '#') c = '_';
  return prefix;
}

std::string NodeId(const std::string& prefix) {
  bool lossy = false;
  for (char c : prefix) lossy |= !IdChar(c) && c != '/';
  if (!lossy) return AsciiId(prefix);
  // Runs of what cannot be kept become one '_', so that the readable part
  // stays readable.
  std::string readable;
  for (char c : prefix) {
    if (IdChar(c))
      readable += c;
    else if (!readable.empty() && readable.back() != '_')
      readable += '_';
  }
  while (!readable.empty() && readable.back() == '_') readable.pop_back();
  return (readable.empty() ? std::string() : readable + "_") + NameHash(prefix);
}

std::string MqttClientId(const std::string& host, const std::string& prefix) {
  return "vardocam-" + AsciiId(host) + "-" + NodeId(prefix);
}

std::string MqttDeviceName(const std::string& cameraName, const std::string& profile) {
  if (!cameraName.empty()) return cameraName;
  return profile.empty() ? kDeviceName : std::string(kDeviceName) + " " + profile;
}

std::string AvailabilityTopic(const std::string& prefix) { return Under(prefix, "availability"); }
std::string RegionsTopic(const std::string& prefix) { return Under(prefix, "motion/regions"); }
std::string MailTopic(const std::string& prefix) { return Under(prefix, "mail"); }
std::string TestTopic(const std::string& prefix) { return Under(prefix, "test"); }
std::string RequestTopic(const std::string& prefix) { return Under(prefix, "request"); }
std::string ArmedByTopic(const std::string& prefix) { return Under(prefix, kArmedByLeaf); }

std::string StateTopic(const MqttEntity& entity, const std::string& prefix) { return Under(prefix, entity.leaf); }

std::string CommandTopic(const MqttEntity& entity, const std::string& prefix) {
  return *entity.commandLeaf ? Under(prefix, entity.commandLeaf) : std::string();
}

std::string DiscoveryTopic(const MqttEntity& entity, const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/" + entity.component + "/" + node + "/" + entity.leaf + "/config";
}

// The keys in the order they have always gone out in; a key whose row
// field is empty is left out.
std::string DiscoveryPayload(const MqttEntity& entity, const std::string& prefix, const std::string& device) {
  const std::string node = NodeId(prefix);
  std::string json =
      "{\"name\":" + JsonString(entity.name) + ",\"unique_id\":" + JsonString(node + "_" + entity.uniqueId);
  if (*entity.commandLeaf) json += ",\"command_topic\":" + JsonString(CommandTopic(entity, prefix));
  // A camera's picture comes on its "topic"; every other state on "state_topic".
  const bool picture = std::string(entity.component) == "camera";
  json += (picture ? ",\"topic\":" : ",\"state_topic\":") + JsonString(StateTopic(entity, prefix));
  if (*entity.on) json += ",\"payload_on\":" + JsonString(entity.on) + ",\"payload_off\":" + JsonString(entity.off);
  // A switch's commands and its state use the same words.
  if (*entity.commandLeaf)
    json += ",\"state_on\":" + JsonString(entity.on) + ",\"state_off\":" + JsonString(entity.off);
  if (*entity.deviceClass) json += ",\"device_class\":" + JsonString(entity.deviceClass);
  if (*entity.attributesLeaf)
    json += ",\"json_attributes_topic\":" + JsonString(Under(prefix, entity.attributesLeaf));
  return json + ",\"availability_topic\":" + JsonString(AvailabilityTopic(prefix)) + "," + Device(node, device) + "}";
}

MonitoringCommand ParseMonitoringCommand(const std::string& payload) {
  static const char kSnooze[] = "SNOOZE:";
  constexpr size_t kMaxMinuteDigits = 5;
  MonitoringCommand command;
  if (payload == "ON") {
    command.kind = MonitoringCommand::On;
  } else if (payload == "OFF") {
    command.kind = MonitoringCommand::Off;
  } else if (payload.rfind(kSnooze, 0) == 0) {
    const std::string digits = payload.substr(sizeof kSnooze - 1);
    command.kind = MonitoringCommand::BadSnooze;
    if (digits.empty() || digits.size() > kMaxMinuteDigits) return command;
    for (char c : digits)
      if (c < '0' || c > '9') return command;
    const int minutes = std::stoi(digits);
    if (minutes < 1 || minutes > kMaxSnoozeMinutes) return command;
    command.kind = MonitoringCommand::Snooze;
    command.minutes = minutes;
  }
  return command;
}

CommandIntake JudgeCommandMessage(bool retained, size_t payloadBytes) {
  if (retained) return CommandIntake::Retained;
  return payloadBytes > kMaxMqttCommandBytes ? CommandIntake::TooLarge : CommandIntake::Take;
}

std::string ArmedByPayload(const ArmState& state, int64_t nowEpochS) {
  static const char* const kBy[] = {"nobody", "button", "schedule", "mail", "house"};
  std::string until = "null";
  if (state.untilEpochS != 0) {
    const std::time_t t = static_cast<std::time_t>(state.untilEpochS);
    std::tm local{};
    localtime_r(&t, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    until = JsonString(text);
  }
  return std::string("{\"armed\":") + (state.armed ? "true" : "false") +
         ",\"by\":" + JsonString(kBy[static_cast<int>(state.by)]) + ",\"until\":" + until +
         ",\"text\":" + JsonString(ArmStateText(state, nowEpochS)) + "}";
}

std::string ArchiveTopic(const std::string& prefix) { return Under(prefix, "archive"); }

std::string ArchivePayload(bool belowFloor, const std::string& detail) {
  return std::string("{\"state\":") + (belowFloor ? "\"full\"" : "\"recording\"") +
         ",\"detail\":" + JsonString(detail) + "}";
}

const char* MailKindName(MailKind kind) { return kMailKindNames[static_cast<size_t>(kind)]; }

std::string MailPayload(bool sent, const std::string& failure, MailKind kind) {
  return std::string("{\"kind\":\"") + MailKindName(kind) + "\",\"sent\":" + (sent ? "true" : "false") +
         ",\"failure\":" + JsonString(failure) + "}";
}

std::string MailHeldBackPayload(int secondsLeft, bool sameEvent) {
  return "{\"kind\":\"alert\",\"sent\":false,\"held_back\":true,\"seconds_left\":" +
         std::to_string(secondsLeft) + (sameEvent ? ",\"same_event\":true" : "") + ",\"failure\":\"\"}";
}

std::string TestPayload() {
  return "{\"kind\":\"test\",\"text\":" + JsonString("テスト警報です。実際の警報ではありません。") + "}";
}

std::string RequestPayload(bool ok, int requests, const std::string& failure) {
  return std::string("{\"ok\":") + (ok ? "true" : "false") +
         ",\"requests\":" + std::to_string(requests) + ",\"failure\":" + JsonString(failure) + "}";
}

std::string RegionsPayload(const MotionRegions& regions) {
  std::string json = "{\"regions\":[";
  for (size_t i = 0; i < regions.size(); ++i) {
    const MotionRegion& r = regions[i];
    json += (i ? ",{\"x\":" : "{\"x\":") + std::to_string(r.x) + ",\"y\":" + std::to_string(r.y) +
            ",\"width\":" + std::to_string(r.width) + ",\"height\":" + std::to_string(r.height) +
            ",\"pixels\":" + std::to_string(r.pixels) + "}";
  }
  return json + "]}";
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
