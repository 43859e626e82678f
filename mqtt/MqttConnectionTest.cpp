#include "mqtt/MqttConnectionTest.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include <mosquitto.h>

#include "net/NameLookup.h"

namespace {
// What the network thread found; the waiting caller reads it.
struct TestOutcome {
  std::mutex mutex;
  std::condition_variable done;
  bool answered = false;
  bool connected = false;
  std::string why;

  void Finish(bool ok, const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex);
    if (answered) return;
    answered = true;
    connected = ok;
    why = reason;
    done.notify_all();
  }
};

std::string Seconds(int ms) { return std::to_string((ms + 999) / 1000); }
} // namespace

MqttTestResult TestMqttBroker(const MqttSettings& settings, int timeoutMs) {
  MqttTestResult result;
  if (settings.host.empty()) {
    result.detail = "ブローカーが入力されていません";
    return result;
  }
  const std::string where = settings.host + ":" + std::to_string(settings.port);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // The name first, within the time limit: the library's own look-up has none.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  TAddressList found;
  const int looked = LookupAddresses(settings.host, std::to_string(settings.port), hints, timeoutMs, found);
  if (looked != 0) {
    result.detail = where + ": " + MqttLookupFailureText(looked);
    return result;
  }

  InitMqttLibrary();
  TestOutcome outcome;
  mosquitto* mosq = mosquitto_new(nullptr, true, &outcome);
  if (!mosq) {
    result.detail = "MQTTクライアントを作成できませんでした";
    return result;
  }
  mosquitto_connect_callback_set(mosq, [](mosquitto*, void* self, int rc) {
    static_cast<TestOutcome*>(self)->Finish(rc == 0, rc == 0 ? "" : MqttRefusalText(rc));
  });
  mosquitto_disconnect_callback_set(mosq, [](mosquitto*, void* self, int rc) {
    const int err = errno;
    static_cast<TestOutcome*>(self)->Finish(false, MqttFailureText(rc, err));
  });
  std::string why;
  bool started = ConfigureMqttClient(mosq, settings, &why);
  if (started && mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
    why = "MQTTの通信を開始できませんでした";
    started = false;
  }
  if (started) {
    const int rc = mosquitto_connect_async(mosq, settings.host.c_str(), settings.port, kMqttKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) outcome.Finish(false, MqttFailureText(rc, errno));
    std::unique_lock<std::mutex> lock(outcome.mutex);
    if (!outcome.done.wait_until(lock, deadline, [&] { return outcome.answered; })) {
      why = "ブローカーが " + Seconds(timeoutMs) + " 秒以内に応答しませんでした";
    } else {
      result.connected = outcome.connected;
      why = outcome.why;
    }
  }
  if (started) {
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
  }
  mosquitto_destroy(mosq);
  result.detail = result.connected ? where : where + ": " + why;
  return result;
}
