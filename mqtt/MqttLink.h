#pragma once
#include <functional>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "monitor/MonitorEvents.h"
#include "mqtt/MqttPublisher.h"

struct typVardocam;

// The broker as the settings name it, followed as they change: each start
// of monitoring reads them again (the option dialog stops monitoring while
// it edits), and a changed broker, login or topic means a new connection.
// No host, no connection. Events go to the connection of the moment.
class MqttLink : public IMonitorEvents {
public:
  using PictureSource = std::function<cv::Mat()>;
  using StatusListener = std::function<void(bool connected, const std::string& detail)>;

  MqttLink(std::string profile, PictureSource picture, StatusListener status);

  // Connects, reconnects or disconnects for these settings.
  void Apply(const typVardocam& settings);
  MqttPublisher* Publisher() const { return publisher_.get(); }
  // Where commands from the house go (nullptr: nowhere), and how a command
  // that is not understood is said, once for each kind of mistake.
  void SetArmControl(IArmControl* arm, std::function<void(const std::string& text)> notice) {
    arm_ = arm;
    notice_ = std::move(notice);
  }
  // A message on the set topic, on the main thread; a retained or an
  // oversized one is said once and changes nothing.
  void Command(const std::string& payload, CommandIntake intake = CommandIntake::Take);

  // A start of monitoring reads the settings again; every event goes to
  // the connection of the moment.
  void On(const MonitorEvent& event) override;

private:
  const std::string profile_;
  PictureSource picture_;
  StatusListener status_;
  MqttSettings current_;
  std::unique_ptr<MqttPublisher> publisher_;
  IArmControl* arm_ = nullptr;
  std::function<void(const std::string&)> notice_;
  bool unknownSaid_ = false;
  bool badSnoozeSaid_ = false;
  bool armFailSaid_ = false;
  bool retainedSaid_ = false;
  bool tooLargeSaid_ = false;
  // Said again to a new connection.
  bool armHeard_ = false;
  ArmState lastArm_;
};
