#include "mqtt/MqttTopics.h"

#include <cstdio>

const char kDiscoveryPrefix[] = "homeassistant";

namespace {
constexpr char kRootTopic[] = "vardocam";
constexpr char kDefaultProfileTopic[] = "default";
const char kDeviceName[] = "防犯カメラ・ヴァルド";

std::string Under(const std::string& prefix, const char* leaf) { return prefix + "/" + leaf; }

std::string Device(const std::string& node, const std::string& profile) {
  const std::string name = profile.empty() ? kDeviceName : std::string(kDeviceName) + " " + profile;
  return "\"device\":{\"identifiers\":[" + JsonString(node) + "],\"name\":" + JsonString(name) +
         ",\"manufacturer\":\"Korvane\",\"model\":\"vardocam\"}";
}

std::string SensorPayload(const std::string& prefix, const std::string& profile, const char* name,
                          const char* leaf, const char* deviceClass) {
  const std::string node = NodeId(prefix);
  return "{\"name\":" + JsonString(name) + ",\"unique_id\":" + JsonString(node + "_" + leaf) +
         ",\"state_topic\":" + JsonString(Under(prefix, leaf)) +
         ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\",\"device_class\":" +
         JsonString(deviceClass) + ",\"availability_topic\":" +
         JsonString(AvailabilityTopic(prefix)) + "," + Device(node, profile) + "}";
}
} // namespace

std::string DefaultTopicPrefix(const std::string& profile) {
  return std::string(kRootTopic) + "/" + (profile.empty() ? kDefaultProfileTopic : profile);
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
  std::string id = prefix;
  for (char& c : id) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
    if (!keep) c = '_';
  }
  return id;
}

std::string AvailabilityTopic(const std::string& prefix) { return Under(prefix, "availability"); }
std::string MonitoringTopic(const std::string& prefix) { return Under(prefix, "monitoring"); }
std::string MotionTopic(const std::string& prefix) { return Under(prefix, "motion"); }
std::string AlarmTopic(const std::string& prefix) { return Under(prefix, "alarm"); }
std::string CameraTopic(const std::string& prefix) { return Under(prefix, "camera"); }
std::string SnapshotTopic(const std::string& prefix) { return Under(prefix, "snapshot"); }
std::string MailTopic(const std::string& prefix) { return Under(prefix, "mail"); }
std::string RequestTopic(const std::string& prefix) { return Under(prefix, "request"); }

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

std::string MotionDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/binary_sensor/" + node + "/motion/config";
}
std::string AlarmDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/binary_sensor/" + node + "/alarm/config";
}
std::string CameraDiscoveryTopic(const std::string& node) {
  return std::string(kDiscoveryPrefix) + "/camera/" + node + "/snapshot/config";
}

std::string MotionDiscoveryPayload(const std::string& prefix, const std::string& profile) {
  return SensorPayload(prefix, profile, "動き", "motion", "motion");
}

std::string AlarmDiscoveryPayload(const std::string& prefix, const std::string& profile) {
  return SensorPayload(prefix, profile, "警報", "alarm", "safety");
}

std::string CameraDiscoveryPayload(const std::string& prefix, const std::string& profile) {
  const std::string node = NodeId(prefix);
  return "{\"name\":" + JsonString("映像") + ",\"unique_id\":" + JsonString(node + "_snapshot") +
         ",\"topic\":" + JsonString(SnapshotTopic(prefix)) +
         ",\"availability_topic\":" + JsonString(AvailabilityTopic(prefix)) + "," +
         Device(node, profile) + "}";
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
