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

std::string SensorPayload(const std::string& prefix, const std::string& device, const char* name,
                          const char* leaf, const char* deviceClass, const char* on = "ON",
                          const char* off = "OFF") {
  const std::string node = NodeId(prefix);
  return "{\"name\":" + JsonString(name) + ",\"unique_id\":" + JsonString(node + "_" + leaf) +
         ",\"state_topic\":" + JsonString(Under(prefix, leaf)) + ",\"payload_on\":" + JsonString(on) +
         ",\"payload_off\":" + JsonString(off) + ",\"device_class\":" + JsonString(deviceClass) +
         ",\"availability_topic\":" + JsonString(AvailabilityTopic(prefix)) + "," +
         Device(node, device) + "}";
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
std::string MonitoringTopic(const std::string& prefix) { return Under(prefix, "monitoring"); }
std::string MotionTopic(const std::string& prefix) { return Under(prefix, "motion"); }
std::string AlarmTopic(const std::string& prefix) { return Under(prefix, "alarm"); }
std::string PersonTopic(const std::string& prefix) { return Under(prefix, "person"); }
std::string RegionsTopic(const std::string& prefix) { return Under(prefix, "motion/regions"); }
std::string CameraTopic(const std::string& prefix) { return Under(prefix, "camera"); }
std::string SnapshotTopic(const std::string& prefix) { return Under(prefix, "snapshot"); }
std::string MailTopic(const std::string& prefix) { return Under(prefix, "mail"); }
std::string RequestTopic(const std::string& prefix) { return Under(prefix, "request"); }
std::string MonitoringSetTopic(const std::string& prefix) { return Under(prefix, "monitoring/set"); }
std::string ArmedByTopic(const std::string& prefix) { return Under(prefix, "monitoring/armed_by"); }

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

std::string MailPayload(bool sent, const std::string& failure) {
  return std::string("{\"kind\":\"alert\",\"sent\":") + (sent ? "true" : "false") +
         ",\"failure\":" + JsonString(failure) + "}";
}

std::string MailHeldBackPayload(int secondsLeft) {
  return "{\"kind\":\"alert\",\"sent\":false,\"held_back\":true,\"seconds_left\":" +
         std::to_string(secondsLeft) + ",\"failure\":\"\"}";
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

std::string MotionDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/binary_sensor/" + node + "/motion/config";
}
std::string AlarmDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/binary_sensor/" + node + "/alarm/config";
}
std::string MonitoringDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/binary_sensor/" + node + "/monitoring/config";
}
std::string CameraStateDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/binary_sensor/" + node + "/camera/config";
}
std::string PersonDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/binary_sensor/" + node + "/person/config";
}
std::string CameraDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/camera/" + node + "/snapshot/config";
}

std::string MonitoringSwitchDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/switch/" + node + "/monitoring/config";
}

// Its state is the monitoring topic: what the cycle does, not what was asked.
std::string MonitoringSwitchDiscoveryPayload(const std::string& prefix, const std::string& device) {
  const std::string node = NodeId(prefix);
  return "{\"name\":" + JsonString("監視の切替") + ",\"unique_id\":" + JsonString(node + "_monitoring_switch") +
         ",\"command_topic\":" + JsonString(MonitoringSetTopic(prefix)) +
         ",\"state_topic\":" + JsonString(MonitoringTopic(prefix)) +
         ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\",\"state_on\":\"ON\",\"state_off\":\"OFF\"" +
         ",\"json_attributes_topic\":" + JsonString(ArmedByTopic(prefix)) +
         ",\"availability_topic\":" + JsonString(AvailabilityTopic(prefix)) + "," + Device(node, device) + "}";
}

std::string MotionDiscoveryPayload(const std::string& prefix, const std::string& device) {
  return SensorPayload(prefix, device, "動き", "motion", "motion");
}

std::string AlarmDiscoveryPayload(const std::string& prefix, const std::string& device) {
  return SensorPayload(prefix, device, "警報", "alarm", "safety");
}

std::string MonitoringDiscoveryPayload(const std::string& prefix, const std::string& device) {
  return SensorPayload(prefix, device, "監視", "monitoring", "running");
}

// "ok" while frames come, "lost" while they do not: connected or not.
std::string CameraStateDiscoveryPayload(const std::string& prefix, const std::string& device) {
  return SensorPayload(prefix, device, "カメラ接続", "camera", "connectivity", "ok", "lost");
}

std::string PersonDiscoveryPayload(const std::string& prefix, const std::string& device) {
  return SensorPayload(prefix, device, "人物", "person", "occupancy");
}

std::string CameraDiscoveryPayload(const std::string& prefix, const std::string& device) {
  const std::string node = NodeId(prefix);
  return "{\"name\":" + JsonString("映像") + ",\"unique_id\":" + JsonString(node + "_snapshot") +
         ",\"topic\":" + JsonString(SnapshotTopic(prefix)) +
         ",\"availability_topic\":" + JsonString(AvailabilityTopic(prefix)) + "," +
         Device(node, device) + "}";
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
