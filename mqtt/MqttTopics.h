#pragma once
#include <string>

// Where the monitor's messages go and what they say, apart from the
// connection, so that the names and payloads are tested as plain text.

// Home Assistant looks for its discovery messages under this prefix.
extern const char kDiscoveryPrefix[];

// "vardocam/<profile>", or "vardocam/default" for the default profile.
std::string DefaultTopicPrefix(const std::string& profile);
// The prefix in use: the configured one without surrounding slashes, or the
// default when none is configured. MQTT wildcards ('+', '#') cannot be part
// of a topic one publishes to and become '_'.
std::string TopicPrefix(const std::string& configured, const std::string& profile);
// The prefix as an identifier: letters, digits, '_' and '-' kept, the rest
// '_'; names this camera in discovery ids and in its client id.
std::string NodeId(const std::string& prefix);

// Topics under the prefix.
std::string AvailabilityTopic(const std::string& prefix);  // "online" / "offline", retained
std::string MonitoringTopic(const std::string& prefix);    // "ON" / "OFF", retained
std::string MotionTopic(const std::string& prefix);        // "ON" / "OFF", retained
std::string AlarmTopic(const std::string& prefix);         // "ON" / "OFF", retained
std::string CameraTopic(const std::string& prefix);        // "ok" / "lost", retained
std::string SnapshotTopic(const std::string& prefix);      // JPEG, retained
std::string MailTopic(const std::string& prefix);          // JSON per alert mail
std::string RequestTopic(const std::string& prefix);       // JSON per mailbox check

// Payloads.
std::string MailPayload(bool sent, const std::string& failure);
// An alert mail held back by the least spacing between mails.
std::string MailHeldBackPayload(int secondsLeft);
std::string RequestPayload(bool ok, int requests, const std::string& failure);

// Home Assistant discovery: config topic and retained JSON payload of the
// motion sensor, the alarm sensor and the camera picture.
std::string MotionDiscoveryTopic(const std::string& node);
std::string AlarmDiscoveryTopic(const std::string& node);
std::string CameraDiscoveryTopic(const std::string& node);
std::string MotionDiscoveryPayload(const std::string& prefix, const std::string& profile);
std::string AlarmDiscoveryPayload(const std::string& prefix, const std::string& profile);
std::string CameraDiscoveryPayload(const std::string& prefix, const std::string& profile);

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);
