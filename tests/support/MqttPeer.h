#pragma once
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

struct mosquitto;

// A real mosquitto broker on 127.0.0.1 for one test, with its own config in
// a temporary folder; anonymous clients, nothing kept on disk. Stopped at
// the latest when the object goes.
class MqttBroker {
public:
  // Takes a free port; Start() listens on it, again after a Stop(). With a
  // certificate and key, the listener speaks TLS.
  MqttBroker(const std::string& certPath = {}, const std::string& keyPath = {});
  bool Start();
  void Stop();
  // Freezes and thaws the broker (SIGSTOP/SIGCONT): connected but silent.
  void Pause();
  void Resume();
  int Port() const { return port_; }
  std::string Log() const { return ReadFileBytes(dir_.File("broker.log")); }

private:
  bool tls_ = false;
  TempDir dir_;
  int port_ = 0;
  ChildProcess server_;
};

// A client that subscribes to everything and keeps what arrives.
class MqttRecorder {
public:
  struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
  };
  explicit MqttRecorder(int port, const std::string& filter = "#");
  ~MqttRecorder();
  MqttRecorder(const MqttRecorder&) = delete;
  MqttRecorder& operator=(const MqttRecorder&) = delete;

  bool Subscribed() const;
  std::vector<Message> Messages() const;
  // Waits until a message on `topic` (with `payload`, when given) arrived.
  bool WaitFor(const std::string& topic, const std::string& payload = {}, int timeoutMs = 10000) const;
  // Publishes as another client of the broker would (QoS 1, not retained
  // unless asked).
  bool Publish(const std::string& topic, const std::string& payload, bool retain = false);
  // The last payload seen on a topic; empty when none.
  std::string Last(const std::string& topic) const;

private:
  mosquitto* mosq_ = nullptr;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<Message> messages_;
  bool subscribed_ = false;
  std::string filter_;
};
