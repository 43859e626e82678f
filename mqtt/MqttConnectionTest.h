#pragma once
#include <string>

#include "mqtt/MqttPublisher.h"

// The option dialog's test gives up after this long: a broker that takes
// the connection and never answers it is a failed test, not a frozen one.
constexpr int kMqttConnectTestMs = 5000;

struct MqttTestResult {
  bool connected = false;
  std::string detail;  // where it connected, or why not, in Japanese
};

// Connects to the broker of `settings` (under an id of its own, so that a
// running monitor of the same profile keeps its connection), waits for the
// broker's answer within `timeoutMs`, and disconnects again.
MqttTestResult TestMqttBroker(const MqttSettings& settings, int timeoutMs = kMqttConnectTestMs);
