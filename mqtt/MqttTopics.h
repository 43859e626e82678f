#pragma once
#include <cstddef>
#include <iterator>
#include <string>

#include "monitor/ArmControl.h"
#include "monitor/MonitorEvent.h"
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

// Topics under the prefix that carry messages rather than an entity's state.
std::string AvailabilityTopic(const std::string& prefix);  // "online" / "offline", retained
std::string RegionsTopic(const std::string& prefix);       // JSON where motion began
std::string MailTopic(const std::string& prefix);          // JSON per mail of ours
std::string TestTopic(const std::string& prefix);          // JSON per test alarm
std::string RequestTopic(const std::string& prefix);       // JSON per mailbox check
std::string ArmedByTopic(const std::string& prefix);       // JSON who armed, until when; retained
constexpr char kArmedByLeaf[] = "monitoring/armed_by";

// The entities Home Assistant shows for this camera, all of one device.
enum class MqttEntityId { Monitoring, Motion, Alarm, Person, Camera, Snapshot, MonitoringSwitch, Count };

// What an entity's state becomes when the program ends cleanly, before
// "offline": kept, said off, or said off only when it is on.
enum class MqttAtEnd { Keep, Off, OffIfOn };

// One entity: where its state goes, how Home Assistant is told of it, and
// what is said of it at each connect and at the end. Discovery, the state
// said again at a connect and the farewell all follow from these rows.
struct MqttEntity {
  MqttEntityId id;
  const char* leaf;         // the state topic under the prefix; the object id in discovery
  const char* component;    // Home Assistant's: binary_sensor, camera, switch
  const char* uniqueId;     // after the node id in unique_id
  const char* name;         // as Home Assistant shows it
  const char* deviceClass;  // "": none
  const char* on;           // the state's payloads; "": none (a picture)
  const char* off;
  const char* commandLeaf;     // "": takes no commands
  const char* attributesLeaf;  // "": no attributes
  bool republished;  // its state is said again at each connect (not: a state another row says)
  bool initiallyOn;
  MqttAtEnd atEnd;
};

// A new entity is one row here (and its MqttEntityId), and the event that
// sets its state in MqttPublisher::On.
inline constexpr MqttEntity kMqttEntities[] = {
    // id, leaf, component, unique id, name, device class, on, off, command leaf, attributes leaf,
    // republished, initially on, at the end
    //
    // Its state is what the cycle does, not what was asked.
    {MqttEntityId::Monitoring, "monitoring", "binary_sensor", "monitoring", "監視", "running", "ON", "OFF", "", "",
     true, false, MqttAtEnd::Off},
    {MqttEntityId::Motion, "motion", "binary_sensor", "motion", "動き", "motion", "ON", "OFF", "", "", true, false,
     MqttAtEnd::OffIfOn},
    {MqttEntityId::Alarm, "alarm", "binary_sensor", "alarm", "警報", "safety", "ON", "OFF", "", "", true, false,
     MqttAtEnd::OffIfOn},
    {MqttEntityId::Person, "person", "binary_sensor", "person", "人物", "occupancy", "ON", "OFF", "", "", true, false,
     MqttAtEnd::OffIfOn},
    // "ok" while frames come, "lost" while they do not: connected or not.
    {MqttEntityId::Camera, "camera", "binary_sensor", "camera", "カメラ接続", "connectivity", "ok", "lost", "", "",
     true, true, MqttAtEnd::Keep},
    // A JPEG at each alarm start, retained.
    {MqttEntityId::Snapshot, "snapshot", "camera", "snapshot", "映像", "", "", "", "", "", false, false,
     MqttAtEnd::Keep},
    // Turns monitoring on and off from the house (ON, OFF, SNOOZE:N); its
    // state is the monitoring row's.
    {MqttEntityId::MonitoringSwitch, "monitoring", "switch", "monitoring_switch", "監視の切替", "", "ON", "OFF",
     "monitoring/set", kArmedByLeaf, false, false, MqttAtEnd::Keep},
};

constexpr bool EntityRowsInOrder() {
  for (size_t i = 0; i < std::size(kMqttEntities); ++i)
    if (static_cast<size_t>(kMqttEntities[i].id) != i) return false;
  return std::size(kMqttEntities) == static_cast<size_t>(MqttEntityId::Count);
}
static_assert(EntityRowsInOrder(), "one row per MqttEntityId, in its order");

constexpr const MqttEntity& Entity(MqttEntityId id) { return kMqttEntities[static_cast<size_t>(id)]; }

// "<prefix>/<leaf>": where the entity's state goes.
std::string StateTopic(const MqttEntity& entity, const std::string& prefix);
// "<prefix>/<command leaf>"; "" for an entity that takes none.
std::string CommandTopic(const MqttEntity& entity, const std::string& prefix);
// Home Assistant discovery: "homeassistant/<component>/<node>/<leaf>/config"
// and its retained JSON payload.
std::string DiscoveryTopic(const MqttEntity& entity, const std::string& node);
std::string DiscoveryPayload(const MqttEntity& entity, const std::string& prefix, const std::string& device);

// A command on the set topic: exactly "ON", "OFF" or "SNOOZE:N" with N
// minutes from 1 to kMaxSnoozeMinutes; anything else is Unknown, or
// BadSnooze for a SNOOZE whose minutes will not do.
struct MonitoringCommand {
  enum Kind { Unknown, On, Off, Snooze, BadSnooze } kind = Unknown;
  int minutes = 0;
};
MonitoringCommand ParseMonitoringCommand(const std::string& payload);
// The most bytes a command payload may have ("SNOOZE:1440" has 11): a
// larger one is refused before it is copied anywhere.
constexpr size_t kMaxMqttCommandBytes = 32;
// Whether a message on the set topic is taken as a command. A retained one
// is an old order the broker hands every new connection, so that one
// publish would decide every start: it is not.
enum class CommandIntake { Take, Retained, TooLarge };
CommandIntake JudgeCommandMessage(bool retained, size_t payloadBytes);
// {"armed":true,"by":"schedule","until":"2026-06-01T18:00:00+0200","text":"監視中（予定による、18:00 まで）"}
std::string ArmedByPayload(const ArmState& state, int64_t nowEpochS);
std::string ArchiveTopic(const std::string& prefix);  // JSON, retained: the event archive's state

// The `kind` of a mail's payload, one row per MailKind in its order.
inline constexpr const char* kMailKindNames[] = {"alert", "person_alert", "summary", "health", "confirmation",
                                                 "test"};
static_assert(std::size(kMailKindNames) == static_cast<size_t>(MailKind::Test) + 1, "one name per MailKind");
const char* MailKindName(MailKind kind);

// Payloads.
std::string MailPayload(bool sent, const std::string& failure, MailKind kind = MailKind::Alert);
// An alert mail held back by the least spacing between mails, or because
// its event had its mail already (`sameEvent`).
std::string MailHeldBackPayload(int secondsLeft, bool sameEvent = false);
// {"kind":"test",...}: a test alarm began; no real alarm is said.
std::string TestPayload();
std::string RequestPayload(bool ok, int requests, const std::string& failure);
// Whether the event archive records ("recording") or is below its
// free-space floor ("full"), and why.
std::string ArchivePayload(bool belowFloor, const std::string& detail);
// The boxes of the changed regions, largest first.
std::string RegionsPayload(const MotionRegions& regions);

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);
