#pragma once
#include <string>

#include "monitor/ArmControl.h"
#include "vision/MotionRegion.h"

// Where the monitor's messages go and what they say, apart from the
// connection, so that the names and payloads are tested as plain text.

// Home Assistant looks for its discovery messages under this prefix.
extern const char kDiscoveryPrefix[];

// "vardocam/<profile>", or "vardocam/default" for the default profile. A
// profile name with MQTT wildcards ('+', '#') has them as '_' and a hash of
// the name appended, so that "a+b" and "a_b" stay apart.
std::string DefaultTopicPrefix(const std::string& profile);
// The prefix in use: the configured one without surrounding slashes, or the
// default when none is configured. MQTT wildcards ('+', '#') cannot be part
// of a topic one publishes to and become '_'.
std::string TopicPrefix(const std::string& configured, const std::string& profile);
// The prefix as an identifier: letters, digits, '_' and '-' kept, '/' as
// '_'; names this camera in discovery ids and in its client id. A prefix
// with any other character (a Japanese profile name) keeps its readable
// ASCII part and gets a hash of the whole prefix, so that every prefix has
// an id of its own and the ids of plain prefixes stay what they always were.
std::string NodeId(const std::string& prefix);
// The broker's name for this program on `host` with this prefix; two
// clients with one id would throw each other out.
std::string MqttClientId(const std::string& host, const std::string& prefix);
// The device Home Assistant shows: the camera's name when one is set, else
// the display name with the profile.
std::string MqttDeviceName(const std::string& cameraName, const std::string& profile);

// Topics under the prefix.
std::string AvailabilityTopic(const std::string& prefix);  // "online" / "offline", retained
std::string MonitoringTopic(const std::string& prefix);    // "ON" / "OFF", retained
std::string MotionTopic(const std::string& prefix);        // "ON" / "OFF", retained
std::string AlarmTopic(const std::string& prefix);         // "ON" / "OFF", retained
std::string PersonTopic(const std::string& prefix);        // "ON" / "OFF", retained
std::string RegionsTopic(const std::string& prefix);       // JSON where motion began
std::string CameraTopic(const std::string& prefix);        // "ok" / "lost", retained
std::string SnapshotTopic(const std::string& prefix);      // JPEG, retained
std::string MailTopic(const std::string& prefix);          // JSON per alert mail
std::string RequestTopic(const std::string& prefix);       // JSON per mailbox check
std::string MonitoringSetTopic(const std::string& prefix); // commands: ON, OFF, SNOOZE:N
std::string ArmedByTopic(const std::string& prefix);       // JSON who armed, until when; retained

// A command on the set topic: exactly "ON", "OFF" or "SNOOZE:N" with N
// minutes from 1 to kMaxSnoozeMinutes; anything else is Unknown, or
// BadSnooze for a SNOOZE whose minutes will not do.
struct MonitoringCommand {
  enum Kind { Unknown, On, Off, Snooze, BadSnooze } kind = Unknown;
  int minutes = 0;
};
MonitoringCommand ParseMonitoringCommand(const std::string& payload);
// {"armed":true,"by":"schedule","until":"2026-06-01T18:00:00+0200","text":"監視中（予定による、18:00 まで）"}
std::string ArmedByPayload(const ArmState& state, int64_t nowEpochS);
std::string ArchiveTopic(const std::string& prefix);       // JSON, retained: the event archive's state

// Payloads.
std::string MailPayload(bool sent, const std::string& failure);
// An alert mail held back by the least spacing between mails.
std::string MailHeldBackPayload(int secondsLeft);
std::string RequestPayload(bool ok, int requests, const std::string& failure);
// Whether the event archive records ("recording") or is below its
// free-space floor ("full"), and why.
std::string ArchivePayload(bool belowFloor, const std::string& detail);
// The boxes of the changed regions, largest first.
std::string RegionsPayload(const MotionRegions& regions);

// Home Assistant discovery: config topic and retained JSON payload of the
// motion sensor, the alarm sensor, the monitoring switch state, the
// camera's connection and the camera picture, all of one device.
std::string MotionDiscoveryTopic(const std::string& node);
std::string AlarmDiscoveryTopic(const std::string& node);
std::string MonitoringDiscoveryTopic(const std::string& node);
std::string CameraStateDiscoveryTopic(const std::string& node);
std::string PersonDiscoveryTopic(const std::string& node);
std::string CameraDiscoveryTopic(const std::string& node);
// The switch that turns monitoring on and off from the house.
std::string MonitoringSwitchDiscoveryTopic(const std::string& node);
std::string MonitoringSwitchDiscoveryPayload(const std::string& prefix, const std::string& device);
std::string MotionDiscoveryPayload(const std::string& prefix, const std::string& device);
std::string AlarmDiscoveryPayload(const std::string& prefix, const std::string& device);
std::string MonitoringDiscoveryPayload(const std::string& prefix, const std::string& device);
std::string CameraStateDiscoveryPayload(const std::string& prefix, const std::string& device);
std::string PersonDiscoveryPayload(const std::string& prefix, const std::string& device);
std::string CameraDiscoveryPayload(const std::string& prefix, const std::string& device);

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);
