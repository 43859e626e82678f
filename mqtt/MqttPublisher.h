#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <QTimer>
#include <opencv2/core.hpp>

#include "monitor/MonitorEvents.h"
#include "mqtt/MqttTopics.h"

struct mosquitto;
struct typVardocam;

// Messages handed to the library and not yet written to the broker. Past
// either bound a new message is dropped (and counted) instead of queued:
// a broker that is gone or stalled never costs memory without end.
constexpr int kMqttMaxPendingMessages = 32;
constexpr size_t kMqttMaxPendingBytes = 8u << 20;
constexpr int kMqttKeepAliveSeconds = 30;
// Reconnect attempts, by the library's network thread: first after this,
// then doubling up to the maximum.
constexpr unsigned kMqttReconnectMinSeconds = 1;
constexpr unsigned kMqttReconnectMaxSeconds = 30;
// How long a clean stop waits for the broker to confirm its last words
// (monitoring "OFF", then "offline"); well inside a service's stop deadline.
constexpr uint32_t kMqttFarewellMs = 500;
// How long one look-up of the broker's name may take before it counts as
// failed and is tried again later.
constexpr int kMqttLookupTimeoutMs = 3000;
constexpr int kSnapshotJpegQuality = 80;

struct MqttSettings {
  std::string host;  // empty: no broker
  int port = 1883;
  std::string user;
  std::string password;
  bool tls = false;
  std::string prefix;   // the topic prefix in use
  std::string profile;
  std::string device;   // the device name in discovery
};

MqttSettings MqttSettingsFrom(const typVardocam& settings, const std::string& profile);

// Sets up the library, once per process, before its first client.
void InitMqttLibrary();
// Why a connection could not be made, in Japanese: from the library's
// result (with errno for MOSQ_ERR_ERRNO), a broker's CONNACK refusal, or a
// name look-up's WinSock-style code.
std::string MqttFailureText(int rc, int err);
std::string MqttRefusalText(int connack);
std::string MqttLookupFailureText(int code);
// Login and TLS of the settings on a new client; false (with the reason)
// when the library refused them.
bool ConfigureMqttClient(mosquitto* mosq, const MqttSettings& settings, std::string* error);

// Tells a message broker what the monitoring cycle does: availability
// (with the broker's last will for an unclean end), monitoring, motion
// start and end, alarm start and end, mail and mailbox outcomes, a JPEG
// snapshot at each alarm start, and Home Assistant discovery. Everything
// reaches the network on the library's own thread: an event costs a tick
// no more than a copy into the library's queue, broker or no broker.
// Events come on the main thread (which runs a Qt event loop).
class MqttPublisher : public IMonitorEvents {
public:
  explicit MqttPublisher(MqttSettings settings);
  // Says monitoring "OFF" and "offline" and waits (at most kMqttFarewellMs)
  // until the broker has both, disconnects and stops the network threads.
  ~MqttPublisher() override;
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // The picture for the snapshot, taken on the main thread at alarm start.
  void SetPictureSource(std::function<cv::Mat()> source) { pictureSource_ = std::move(source); }
  // Told on the main thread of each connect, and of a failure once until
  // the next connect (not of every attempt in between).
  void SetStatusListener(std::function<void(bool connected, const std::string& detail)> listener) {
    statusListener_ = std::move(listener);
  }
  // Told on the main thread of each message on the monitoring set topic,
  // as it came, with whether it may be taken (the payload is empty when
  // not); subscribed to at every connect.
  using CommandListener = std::function<void(const std::string& payload, CommandIntake intake)>;
  void SetCommandListener(CommandListener listener) {
    commandListener_ = std::move(listener);
  }
  // Starts connecting in the background; false when the library refused
  // the settings (the reason in `error`).
  bool Start(std::string* error = nullptr);

  void On(const MonitorEvent& event) override;

  struct Stats {
    uint64_t published = 0;
    uint64_t dropped = 0;
    int pending = 0;
    size_t pendingBytes = 0;
    bool connected = false;
  };
  Stats Counters() const;
  const std::string& Prefix() const { return settings_.prefix; }

private:
  // QoS 0 (at most once) unless asked for more.
  bool Publish(const std::string& topic, const std::string& payload, bool retain, int qos = 0);
  // Sets an entity's state and says it; Change says it only when it changed.
  void SetState(MqttEntityId id, bool on);
  bool ChangeState(MqttEntityId id, bool on);
  void PublishState(const MqttEntity& entity, bool on, int qos = 0);
  void StartAlarm();
  void OnConnect(int rc);
  void OnDisconnect(int rc);
  void OnPublish(int mid);
  void OnMessage(const std::string& topic, const std::string& payload, CommandIntake intake);
  void Tell(bool connected, const std::string& detail);
  void TellFailureOnce(const std::string& why);
  struct ConnectState;
  static void ConnectLoop(MqttPublisher* self, std::shared_ptr<ConnectState> state);
  void Farewell();
  void SnapshotLoop();
  void MotionEnded();

  const MqttSettings settings_;
  mosquitto* mosq_ = nullptr;
  std::function<cv::Mat()> pictureSource_;
  std::function<void(bool, const std::string&)> statusListener_;
  CommandListener commandListener_;
  // Who armed, as last said: said again at each connect.
  std::mutex armedByMutex_;
  std::string armedBy_;

  std::atomic<bool> connected_{false};
  // Each entity's state as last said, by MqttEntityId: said again at each
  // connect.
  std::array<std::atomic<bool>, static_cast<size_t>(MqttEntityId::Count)> on_{};
  std::atomic<bool> failureTold_{false};
  QTimer motionEnd_;
  // Queued status calls die with it, so none reaches a listener that is gone.
  QObject statusContext_;

  mutable std::mutex pendingMutex_;
  std::condition_variable pendingDrained_;
  std::map<int, size_t> pending_;  // message id -> payload bytes
  size_t pendingBytes_ = 0;
  uint64_t published_ = 0;
  std::atomic<uint64_t> dropped_{0};

  std::mutex snapshotMutex_;
  std::condition_variable snapshotWake_;
  cv::Mat snapshot_;
  bool quit_ = false;
  std::thread snapshotThread_;
  // Until the library has taken the broker's address: looked up on a thread
  // of its own, not the caller's, and tried again while it fails. The
  // thread touches the publisher only under the state's lock and not after
  // `quit`, so the end need not wait for a hung look-up.
  std::shared_ptr<ConnectState> connect_;
};
