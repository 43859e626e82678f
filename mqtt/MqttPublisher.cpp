#include "mqtt/MqttPublisher.h"

#include <chrono>
#include <vector>

#include <QCoreApplication>
#include <QMetaObject>
#include <mosquitto.h>
#include <unistd.h>
#include <opencv2/imgcodecs.hpp>

#include "monitor/MotionEpisode.h"
#include "mqtt/MqttTopics.h"
#include "settings/Vardocamdef.h"

namespace {
constexpr char kOnline[] = "online";
constexpr char kOffline[] = "offline";
constexpr int kQosAtMostOnce = 0;
constexpr int kQosAtLeastOnce = 1;

// The library keeps global state of its own; it is set up once per process.
void InitLibraryOnce() {
  static const int done = [] { return mosquitto_lib_init(); }();
  (void)done;
}

std::string ClientId(const std::string& prefix) {
  char host[64] = {};
  gethostname(host, sizeof host - 1);
  return "vardocam-" + NodeId(host) + "-" + NodeId(prefix);
}
} // namespace

MqttSettings MqttSettingsFrom(const typVardocam& settings, const std::string& profile) {
  MqttSettings s;
  s.host = settings.MQTT_HOSTNAME;
  s.port = settings.MQTT_PORTNUMBER;
  s.user = settings.MQTT_USERNAME;
  s.password = settings.MQTT_PASSWORD;
  s.tls = settings.MQTT_USETLS;
  s.prefix = TopicPrefix(settings.MQTT_TOPIC, profile);
  s.profile = profile;
  return s;
}

MqttPublisher::MqttPublisher(MqttSettings settings) : settings_(std::move(settings)) {
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
  if (!mosq_) return;
  // A clean end says so itself: the broker sends the last will only for a
  // connection that broke.
  if (connected_ && Publish(AvailabilityTopic(settings_.prefix), kOffline, true)) {
    std::unique_lock<std::mutex> lock(pendingMutex_);
    pendingDrained_.wait_for(lock, std::chrono::milliseconds(kMqttFarewellMs),
                             [this] { return pending_.empty(); });
  }
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
}

bool MqttPublisher::Start(std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (mosq_) return true;
  InitLibraryOnce();
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
  const std::string will = AvailabilityTopic(settings_.prefix);
  int rc = mosquitto_will_set(mosq_, will.c_str(), sizeof(kOffline) - 1, kOffline,
                              kQosAtLeastOnce, true);
  if (rc != MOSQ_ERR_SUCCESS) return fail(std::string("トピック接頭辞が使えません: ") + mosquitto_strerror(rc));
  if (!settings_.user.empty())
    mosquitto_username_pw_set(mosq_, settings_.user.c_str(),
                              settings_.password.empty() ? nullptr : settings_.password.c_str());
  if (settings_.tls) {
    // The broker's certificate is checked against the system's authorities.
    mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
  }
  mosquitto_reconnect_delay_set(mosq_, kMqttReconnectMinSeconds, kMqttReconnectMaxSeconds, true);
  snapshotThread_ = std::thread([this] { SnapshotLoop(); });
  rc = mosquitto_loop_start(mosq_);
  if (rc != MOSQ_ERR_SUCCESS) return fail(std::string("MQTTの通信を開始できませんでした: ") + mosquitto_strerror(rc));
  // A broker that is not there yet is tried again by the network thread.
  mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, kMqttKeepAliveSeconds);
  return true;
}

bool MqttPublisher::Publish(const std::string& topic, const std::string& payload, bool retain) {
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
                                   payload.data(), kQosAtMostOnce, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    ++dropped_;
    return false;
  }
  pending_[mid] = payload.size();
  pendingBytes_ += payload.size();
  ++published_;
  return true;
}

void MqttPublisher::PublishState(const std::string& topic, bool on) {
  Publish(topic, on ? "ON" : "OFF", true);
}

void MqttPublisher::OnConnect(int rc) {
  if (rc != 0) {
    Tell(false, std::string("MQTTブローカーが接続を拒否しました: ") + mosquitto_connack_string(rc));
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
  Publish(MotionDiscoveryTopic(node), MotionDiscoveryPayload(p, settings_.profile), true);
  Publish(AlarmDiscoveryTopic(node), AlarmDiscoveryPayload(p, settings_.profile), true);
  Publish(CameraDiscoveryTopic(node), CameraDiscoveryPayload(p, settings_.profile), true);
  PublishState(MonitoringTopic(p), monitoring_);
  PublishState(MotionTopic(p), motion_);
  PublishState(AlarmTopic(p), alarm_);
  Publish(CameraTopic(p), cameraLost_ ? "lost" : "ok", true);
  Tell(true, settings_.host + ":" + std::to_string(settings_.port));
}

void MqttPublisher::OnDisconnect(int rc) {
  const bool was = connected_.exchange(false);
  if (was && rc != 0) Tell(false, "MQTTブローカーとの接続が切れました (再接続を続けます)");
}

void MqttPublisher::OnPublish(int mid) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  auto it = pending_.find(mid);
  if (it == pending_.end()) return;
  pendingBytes_ -= it->second;
  pending_.erase(it);
  if (pending_.empty()) pendingDrained_.notify_all();
}

void MqttPublisher::Tell(bool connected, const std::string& detail) {
  if (!statusListener_ || !QCoreApplication::instance()) return;
  auto listener = statusListener_;
  QMetaObject::invokeMethod(QCoreApplication::instance(),
                            [listener, connected, detail] { listener(connected, detail); },
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

void MqttPublisher::MonitoringStarted(unsigned) {
  monitoring_ = true;
  PublishState(MonitoringTopic(settings_.prefix), true);
}

void MqttPublisher::MonitoringStopped() {
  monitoring_ = false;
  PublishState(MonitoringTopic(settings_.prefix), false);
  if (motion_) {
    motionEnd_.stop();
    MotionEnded();
  }
}

void MqttPublisher::MotionDetected() {
  motionEnd_.start();
  if (motion_.exchange(true)) return;
  PublishState(MotionTopic(settings_.prefix), true);
}

void MqttPublisher::MotionEnded() {
  motion_ = false;
  PublishState(MotionTopic(settings_.prefix), false);
}

void MqttPublisher::AlarmStarted() {
  alarm_ = true;
  PublishState(AlarmTopic(settings_.prefix), true);
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

void MqttPublisher::AlarmEnded() {
  alarm_ = false;
  PublishState(AlarmTopic(settings_.prefix), false);
}

void MqttPublisher::AlertMailDone(bool sent, const std::string& failure) {
  Publish(MailTopic(settings_.prefix), MailPayload(sent, failure), false);
}

void MqttPublisher::AlertMailHeldBack(int secondsLeft) {
  Publish(MailTopic(settings_.prefix), MailHeldBackPayload(secondsLeft), false);
}

void MqttPublisher::RequestCheckDone(bool ok, int requests, const std::string& failure) {
  Publish(RequestTopic(settings_.prefix), RequestPayload(ok, requests, failure), false);
}

void MqttPublisher::CameraLost() {
  cameraLost_ = true;
  Publish(CameraTopic(settings_.prefix), "lost", true);
}

void MqttPublisher::CameraBack() {
  cameraLost_ = false;
  Publish(CameraTopic(settings_.prefix), "ok", true);
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
    if (!cv::imencode(".jpg", picture, jpeg, {cv::IMWRITE_JPEG_QUALITY, kSnapshotJpegQuality}))
      continue;
    Publish(SnapshotTopic(settings_.prefix), std::string(jpeg.begin(), jpeg.end()), true);
  }
}
