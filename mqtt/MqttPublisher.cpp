#include "mqtt/MqttPublisher.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include <QCoreApplication>
#include <QMetaObject>
#include <mosquitto.h>
#include <unistd.h>
#include <opencv2/imgcodecs.hpp>

#include "monitor/MotionEpisode.h"
#include "mqtt/MqttTopics.h"
#include "net/NameLookup.h"
#include "net/SocketError.h"
#include "platform/OpenCvModule.h"
#include "settings/Vardocamdef.h"

namespace {
constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";
constexpr int kQosAtLeastOnce = 1;

std::string ClientId(const std::string& prefix) {
  char host[64] = {};
  gethostname(host, sizeof host - 1);
  return MqttClientId(host, prefix);
}

std::string Where(const MqttSettings& s) { return s.host + ":" + std::to_string(s.port); }
} // namespace

struct MqttPublisher::ConnectState {
  std::mutex mutex;
  std::condition_variable wake;
  bool quit = false;
};

// The library keeps global state of its own; it is set up once per process.
void InitMqttLibrary() {
  static const int done = [] { return mosquitto_lib_init(); }();
  (void)done;
}

std::string MqttFailureText(int rc, int err) {
  if (rc == MOSQ_ERR_ERRNO) {
    switch (err) {
    case ECONNREFUSED: return "接続を拒否されました (ポート番号が違うか、ブローカーが動いていません)";
    case ETIMEDOUT: return "応答がありません";
    case EHOSTUNREACH:
    case ENETUNREACH: return "ブローカーに届きません (ネットワークを確認してください)";
    default: return std::string("接続できません (") + std::strerror(err) + ")";
    }
  }
  switch (rc) {
  case MOSQ_ERR_EAI:
  case MOSQ_ERR_LOOKUP: return "ブローカー名が見つかりません";
  case MOSQ_ERR_TLS:
  case MOSQ_ERR_TLS_HANDSHAKE: return "TLSで接続できません (証明書とポート番号を確認してください)";
  case MOSQ_ERR_CONN_REFUSED:
  case MOSQ_ERR_AUTH: return "ユーザ名またはパスワードが認められません";
  default: return std::string("接続できません (") + mosquitto_strerror(rc) + ")";
  }
}

std::string MqttRefusalText(int connack) {
  switch (connack) {
  case 4:
  case 5: return "ユーザ名またはパスワードが認められません";
  default: return std::string("ブローカーが接続を拒否しました (") + mosquitto_connack_string(connack) + ")";
  }
}

std::string MqttLookupFailureText(int code) {
  switch (code) {
  case kSockErrHostNotFound:
  case kSockErrNoData: return "ブローカー名が見つかりません";
  case kSockErrTimedOut: return "ブローカー名の問い合わせに応答がありません";
  default: return "ブローカー名を引けません (" + SocketErrorText(code) + ")";
  }
}

bool ConfigureMqttClient(mosquitto* mosq, const MqttSettings& settings, std::string* error) {
  if (!settings.user.empty()) {
    const int rc = mosquitto_username_pw_set(
        mosq, settings.user.c_str(), settings.password.empty() ? nullptr : settings.password.c_str());
    if (rc != MOSQ_ERR_SUCCESS) {
      if (error) *error = std::string("ユーザ名が使えません: ") + mosquitto_strerror(rc);
      return false;
    }
  }
  // The broker's certificate is checked against the system's authorities.
  if (settings.tls) mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
  return true;
}

MqttSettings MqttSettingsFrom(const typVardocam& settings, const std::string& profile) {
  MqttSettings s;
  s.host = settings.MQTT_HOSTNAME;
  s.port = settings.MQTT_PORTNUMBER;
  s.user = settings.MQTT_USERNAME;
  s.password = settings.MQTT_PASSWORD;
  s.tls = settings.MQTT_USETLS;
  s.prefix = TopicPrefix(settings.MQTT_TOPIC, profile);
  s.profile = profile;
  s.device = MqttDeviceName(settings.CAMERA_NAME, profile);
  return s;
}

MqttPublisher::MqttPublisher(MqttSettings settings) : settings_(std::move(settings)) {
  for (const MqttEntity& entity : kMqttEntities) on_[static_cast<size_t>(entity.id)] = entity.initiallyOn;
  motionEnd_.setSingleShot(true);
  // A coarse timer may fire 5 % early: motion would end before it was quiet.
  motionEnd_.setTimerType(Qt::PreciseTimer);
  motionEnd_.setInterval(static_cast<int>(kMotionQuietMs));
  QObject::connect(&motionEnd_, &QTimer::timeout, [this] { MotionEnded(); });
}

MqttPublisher::~MqttPublisher() {
  {
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    quit_ = true;
  }
  snapshotWake_.notify_all();
  if (snapshotThread_.joinable()) snapshotThread_.join();
  if (connect_) {
    std::lock_guard<std::mutex> lock(connect_->mutex);
    connect_->quit = true;
    connect_->wake.notify_all();
  }
  if (!mosq_) return;
  Farewell();
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
}

// A clean end says so itself: the broker sends the last will only for a
// connection that broke. Monitoring ends with the program, whichever way it
// ends, and goes first (the table's first row): a retained "ON" behind "offline" would be read as
// still watching once the program is back. Acknowledged, so the broker has
// them before the connection goes.
void MqttPublisher::Farewell() {
  if (!connected_) return;
  motionEnd_.stop();
  for (const MqttEntity& entity : kMqttEntities) {
    if (entity.atEnd == MqttAtEnd::Keep) continue;
    const bool wasOn = on_[static_cast<size_t>(entity.id)].exchange(false);
    if (entity.atEnd == MqttAtEnd::Off || wasOn) PublishState(entity, false, kQosAtLeastOnce);
  }
  Publish(AvailabilityTopic(settings_.prefix), kOffline, true, kQosAtLeastOnce);
  std::unique_lock<std::mutex> lock(pendingMutex_);
  pendingDrained_.wait_for(lock, std::chrono::milliseconds(kMqttFarewellMs),
                           [this] { return pending_.empty(); });
}

bool MqttPublisher::Start(std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (mosq_) return true;
  InitMqttLibrary();
  mosq_ = mosquitto_new(ClientId(settings_.prefix).c_str(), true, this);
  if (!mosq_) return fail("MQTTクライアントを作成できませんでした");
  mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
    static_cast<MqttPublisher*>(self)->OnConnect(rc);
  });
  mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
    static_cast<MqttPublisher*>(self)->OnDisconnect(rc);
  });
  mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
    static_cast<MqttPublisher*>(self)->OnPublish(mid);
  });
  mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* message) {
    if (!message->topic) return;
    const char* bytes = static_cast<const char*>(message->payload);
    const size_t length = message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
    // Judged before a byte is copied: a huge payload costs nothing more.
    const CommandIntake intake = JudgeCommandMessage(message->retain, length);
    static_cast<MqttPublisher*>(self)->OnMessage(
        message->topic, bytes && intake == CommandIntake::Take ? std::string(bytes, length) : std::string(), intake);
  });
  const std::string will = AvailabilityTopic(settings_.prefix);
  int rc = mosquitto_will_set(mosq_, will.c_str(), sizeof(kOffline) - 1, kOffline,
                              kQosAtLeastOnce, true);
  if (rc != MOSQ_ERR_SUCCESS) return fail(std::string("トピック接頭辞が使えません: ") + mosquitto_strerror(rc));
  std::string why;
  if (!ConfigureMqttClient(mosq_, settings_, &why)) return fail(why);
  mosquitto_reconnect_delay_set(mosq_, kMqttReconnectMinSeconds, kMqttReconnectMaxSeconds, true);
  snapshotThread_ = std::thread([this] { SnapshotLoop(); });
  rc = mosquitto_loop_start(mosq_);
  if (rc != MOSQ_ERR_SUCCESS) return fail(std::string("MQTTの通信を開始できませんでした: ") + mosquitto_strerror(rc));
  connect_ = std::make_shared<ConnectState>();
  std::thread(&MqttPublisher::ConnectLoop, this, connect_).detach();
  return true;
}

// The library retries a broker that refuses or goes away, but not a name
// that did not resolve on the first try (a service started before the
// network): that is tried again here until the library has an address.
void MqttPublisher::ConnectLoop(MqttPublisher* self, std::shared_ptr<ConnectState> state) {
  const std::string host = self->settings_.host;
  const std::string port = std::to_string(self->settings_.port);
  unsigned delayS = kMqttReconnectMinSeconds;
  for (;;) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    TAddressList found;
    const int looked = LookupAddresses(host, port, hints, kMqttLookupTimeoutMs, found);
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->quit) return;
    if (looked != 0) {
      self->TellFailureOnce(MqttLookupFailureText(looked));
    } else {
      const int rc = mosquitto_connect_async(self->mosq_, host.c_str(), self->settings_.port,
                                             kMqttKeepAliveSeconds);
      if (rc == MOSQ_ERR_SUCCESS) return;
      self->TellFailureOnce(MqttFailureText(rc, errno));
    }
    if (state->wake.wait_for(lock, std::chrono::seconds(delayS), [&] { return state->quit; })) return;
    delayS = std::min(delayS * 2, kMqttReconnectMaxSeconds);
  }
}

bool MqttPublisher::Publish(const std::string& topic, const std::string& payload, bool retain, int qos) {
  if (!mosq_ || !connected_) {
    ++dropped_;
    return false;
  }
  std::lock_guard<std::mutex> lock(pendingMutex_);
  if (static_cast<int>(pending_.size()) >= kMqttMaxPendingMessages ||
      pendingBytes_ + payload.size() > kMqttMaxPendingBytes) {
    ++dropped_;
    return false;
  }
  int mid = 0;
  const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    ++dropped_;
    return false;
  }
  pending_[mid] = payload.size();
  pendingBytes_ += payload.size();
  ++published_;
  return true;
}

void MqttPublisher::PublishState(const MqttEntity& entity, bool on, int qos) {
  Publish(StateTopic(entity, settings_.prefix), on ? entity.on : entity.off, true, qos);
}

void MqttPublisher::SetState(MqttEntityId id, bool on) {
  on_[static_cast<size_t>(id)] = on;
  PublishState(Entity(id), on);
}

bool MqttPublisher::ChangeState(MqttEntityId id, bool on) {
  if (on_[static_cast<size_t>(id)].exchange(on) == on) return false;
  PublishState(Entity(id), on);
  return true;
}

void MqttPublisher::OnConnect(int rc) {
  if (rc != 0) {
    TellFailureOnce(MqttRefusalText(rc));
    return;
  }
  {
    // What was queued for the broken connection went with it.
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pending_.clear();
    pendingBytes_ = 0;
  }
  connected_ = true;
  const std::string& p = settings_.prefix;
  const std::string node = NodeId(p);
  Publish(AvailabilityTopic(p), kOnline, true);
  for (const MqttEntity& entity : kMqttEntities)
    Publish(DiscoveryTopic(entity, node), DiscoveryPayload(entity, p, settings_.device), true);
  for (const MqttEntity& entity : kMqttEntities)
    if (entity.republished) PublishState(entity, on_[static_cast<size_t>(entity.id)]);
  {
    std::lock_guard<std::mutex> lock(armedByMutex_);
    if (!armedBy_.empty()) Publish(ArmedByTopic(p), armedBy_, true);
  }
  // A clean session forgets the subscription with the connection.
  if (commandListener_)
    for (const MqttEntity& entity : kMqttEntities)
      if (*entity.commandLeaf) mosquitto_subscribe(mosq_, nullptr, CommandTopic(entity, p).c_str(), kQosAtLeastOnce);
  failureTold_ = false;
  Tell(true, Where(settings_));
}

// Called for a connection that broke, and for the first of a row of
// attempts that failed (the library is silent about the rest).
void MqttPublisher::OnDisconnect(int rc) {
  const int err = errno;
  const bool was = connected_.exchange(false);
  if (rc == 0) return;
  if (was) {
    failureTold_ = true;
    Tell(false, "MQTTブローカー " + Where(settings_) + " との接続が切れました (再接続を続けます)");
  } else {
    TellFailureOnce(MqttFailureText(rc, err));
  }
}

void MqttPublisher::TellFailureOnce(const std::string& why) {
  if (failureTold_.exchange(true)) return;
  Tell(false, "MQTTブローカー " + Where(settings_) + " に接続できません: " + why + " (再接続を続けます)");
}

void MqttPublisher::OnPublish(int mid) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  auto it = pending_.find(mid);
  if (it == pending_.end()) return;
  pendingBytes_ -= it->second;
  pending_.erase(it);
  if (pending_.empty()) pendingDrained_.notify_all();
}

// On the library's network thread: the command goes to the main thread
// as it came, and is judged there.
void MqttPublisher::OnMessage(const std::string& topic, const std::string& payload, CommandIntake intake) {
  if (topic != CommandTopic(Entity(MqttEntityId::MonitoringSwitch), settings_.prefix) || !commandListener_ ||
      !QCoreApplication::instance())
    return;
  auto listener = commandListener_;
  QMetaObject::invokeMethod(&statusContext_, [listener, payload, intake] { listener(payload, intake); },
                            Qt::QueuedConnection);
}

void MqttPublisher::Tell(bool connected, const std::string& detail) {
  if (!statusListener_ || !QCoreApplication::instance()) return;
  auto listener = statusListener_;
  QMetaObject::invokeMethod(&statusContext_, [listener, connected, detail] { listener(connected, detail); },
                            Qt::QueuedConnection);
}

MqttPublisher::Stats MqttPublisher::Counters() const {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  Stats s;
  s.published = published_;
  s.dropped = dropped_;
  s.pending = static_cast<int>(pending_.size());
  s.pendingBytes = pendingBytes_;
  s.connected = connected_;
  return s;
}

void MqttPublisher::On(const MonitorEvent& event) {
  using Kind = MonitorEvent::Kind;
  const std::string& p = settings_.prefix;
  switch (event.kind) {
  case Kind::MonitoringStarted:
    SetState(MqttEntityId::Monitoring, true);
    ChangeState(MqttEntityId::Camera, true);  // it opened: no longer lost
    break;
  case Kind::MonitoringStopped:
    SetState(MqttEntityId::Monitoring, false);
    if (on_[static_cast<size_t>(MqttEntityId::Motion)]) {
      motionEnd_.stop();
      MotionEnded();
    }
    break;
  case Kind::MotionDetected:
    motionEnd_.start();
    if (ChangeState(MqttEntityId::Motion, true)) Publish(RegionsTopic(p), RegionsPayload(event.regions), false);
    break;
  case Kind::PersonDetected: ChangeState(MqttEntityId::Person, true); break;
  case Kind::AlarmStarted: StartAlarm(); break;
  case Kind::AlarmEnded: SetState(MqttEntityId::Alarm, false); break;
  case Kind::AlertMailDone:
  case Kind::MailDone: Publish(MailTopic(p), MailPayload(event.sent, event.text, event.mail), false); break;
  case Kind::AlertMailHeldBack:
    Publish(MailTopic(p), MailHeldBackPayload(event.secondsLeft, event.sameEvent), false);
    break;
  // Its own topic: the alarm's state and snapshot stay those of real alarms.
  case Kind::TestAlarmStarted: Publish(TestTopic(p), TestPayload(), false); break;
  case Kind::RequestCheckDone:
    Publish(RequestTopic(p), RequestPayload(event.ok, event.requests, event.text), false);
    break;
  // A camera that would not open is lost to the house until monitoring
  // starts with it (a service waiting for its camera).
  case Kind::CameraFailed:
  case Kind::CameraLost: SetState(MqttEntityId::Camera, false); break;
  case Kind::CameraBack: SetState(MqttEntityId::Camera, true); break;
  case Kind::ArmChanged: {
    const std::string payload = ArmedByPayload(event.arm, std::time(nullptr));
    {
      std::lock_guard<std::mutex> lock(armedByMutex_);
      armedBy_ = payload;
    }
    Publish(ArmedByTopic(p), payload, true);
    break;
  }
  case Kind::ArchiveFloorChanged: Publish(ArchiveTopic(p), ArchivePayload(event.belowFloor, event.text), true); break;
  case Kind::MotionWithoutPerson:
  case Kind::TestAlarmStep:
  case Kind::Notice:
  case Kind::TickFailed:
  case Kind::BrokerChanged:
  case Kind::EventArchived:
  case Kind::MailQueueChanged: break;
  }
}

void MqttPublisher::MotionEnded() {
  SetState(MqttEntityId::Motion, false);
  // The person goes with the motion that showed it.
  ChangeState(MqttEntityId::Person, false);
}

void MqttPublisher::StartAlarm() {
  SetState(MqttEntityId::Alarm, true);
  if (!pictureSource_) return;
  if (!connected_) {
    ++dropped_;
    return;
  }
  cv::Mat picture = pictureSource_();
  if (picture.empty()) return;
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  // One picture waits at most; a newer alarm's picture replaces it.
  if (!snapshot_.empty()) ++dropped_;
  snapshot_ = std::move(picture);
  snapshotWake_.notify_one();
}

// JPEG encoding takes milliseconds per picture: off the main thread.
void MqttPublisher::SnapshotLoop() {
  for (;;) {
    cv::Mat picture;
    {
      std::unique_lock<std::mutex> lock(snapshotMutex_);
      snapshotWake_.wait(lock, [this] { return quit_ || !snapshot_.empty(); });
      if (quit_) return;
      picture = std::move(snapshot_);
      snapshot_ = cv::Mat();
    }
    std::vector<uchar> jpeg;
    if (!EncodeImage(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, kSnapshotJpegQuality}))
      continue;
    Publish(StateTopic(Entity(MqttEntityId::Snapshot), settings_.prefix), std::string(jpeg.begin(), jpeg.end()),
            true);
  }
}
