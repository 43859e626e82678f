#include "support/MqttPeer.h"

#include <chrono>
#include <csignal>

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/LoopbackPort.h"

namespace {
constexpr int kBrokerStartMs = 10000;

bool TcpListening(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

bool Listening(int port) {
  mosquitto* probe = mosquitto_new(nullptr, true, nullptr);
  const bool ok = probe && mosquitto_connect(probe, "127.0.0.1", port, 5) == MOSQ_ERR_SUCCESS;
  if (probe) {
    mosquitto_disconnect(probe);
    mosquitto_destroy(probe);
  }
  return ok;
}
} // namespace

MqttBroker::MqttBroker(const std::string& certPath, const std::string& keyPath)
    : tls_(!certPath.empty()), port_(FreeLoopbackPort()) {
  mosquitto_lib_init();
  WriteFileBytes(dir_.File("mosquitto.conf"),
                 "listener " + std::to_string(port_) + " 127.0.0.1\n" +
                 (tls_ ? "certfile " + certPath + "\nkeyfile " + keyPath + "\n" : std::string()) +
                 "allow_anonymous true\n"
                 "persistence false\n"
                 "log_dest stderr\n"
                 "log_type error\nlog_type warning\nlog_type notice\n");
}

bool MqttBroker::Start() {
  ChildProcess::Options options;
  options.outputFile = dir_.File("broker.log");
  server_ = ChildProcess({"/usr/sbin/mosquitto", "-c", dir_.File("mosquitto.conf")}, options);
  if (tls_)
    return ::WaitFor(kBrokerStartMs, [&] { return TcpListening(port_) || !server_.Running(); }) &&
           server_.Running();
  return ::WaitFor(kBrokerStartMs, [&] { return Listening(port_) || !server_.Running(); }) &&
         server_.Running();
}

void MqttBroker::Stop() { server_.Stop(); }

void MqttBroker::Pause() {
  if (server_.Started()) kill(server_.Pid(), SIGSTOP);
}

void MqttBroker::Resume() {
  if (server_.Started()) kill(server_.Pid(), SIGCONT);
}

MqttRecorder::MqttRecorder(int port, const std::string& filter) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(nullptr, true, this);
  mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
    auto* r = static_cast<MqttRecorder*>(self);
    std::lock_guard<std::mutex> lock(r->mutex_);
    r->subscribed_ = true;
    r->arrived_.notify_all();
  });
  mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
    auto* r = static_cast<MqttRecorder*>(self);
    std::lock_guard<std::mutex> lock(r->mutex_);
    r->messages_.push_back({m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen), m->retain});
    r->arrived_.notify_all();
  });
  filter_ = filter;
  mosquitto_connect_callback_set(mosq_, [](mosquitto* mosq, void* self, int rc) {
    if (rc == 0) mosquitto_subscribe(mosq, nullptr, static_cast<MqttRecorder*>(self)->filter_.c_str(), 0);
  });
  mosquitto_connect(mosq_, "127.0.0.1", port, 30);
  mosquitto_loop_start(mosq_);
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, std::chrono::seconds(10), [this] { return subscribed_; });
}

MqttRecorder::~MqttRecorder() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
}

bool MqttRecorder::Subscribed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscribed_;
}

std::vector<MqttRecorder::Message> MqttRecorder::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

bool MqttRecorder::WaitFor(const std::string& topic, const std::string& payload, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const Message& m : messages_)
      if (m.topic == topic && (payload.empty() || m.payload == payload)) return true;
    return false;
  });
}

std::string MqttRecorder::Last(const std::string& topic) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = messages_.rbegin(); it != messages_.rend(); ++it)
    if (it->topic == topic) return it->payload;
  return {};
}

bool MqttRecorder::Publish(const std::string& topic, const std::string& payload, bool retain) {
  return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                           retain) == MOSQ_ERR_SUCCESS;
}
