#include "mqtt/MqttLink.h"

#include <tuple>

#include "mqtt/MqttTopics.h"
#include "settings/Vardocamdef.h"

namespace {
bool Same(const MqttSettings& a, const MqttSettings& b) {
  return std::tie(a.host, a.port, a.user, a.password, a.tls, a.prefix, a.device) ==
         std::tie(b.host, b.port, b.user, b.password, b.tls, b.prefix, b.device);
}

// A command that is not understood is shown this long at most, in
// printable ASCII, whatever a sender put into it.
constexpr size_t kShownCommandChars = 40;
std::string Shown(const std::string& payload) {
  std::string shown;
  for (char c : payload.substr(0, kShownCommandChars)) shown += (c >= 0x20 && c < 0x7f) ? c : '?';
  return payload.size() > kShownCommandChars ? shown + "..." : shown;
}
} // namespace

MqttLink::MqttLink(std::string profile, PictureSource picture, StatusListener status)
    : profile_(std::move(profile)), picture_(std::move(picture)), status_(std::move(status)) {}

void MqttLink::Apply(const typVardocam& settings) {
  const MqttSettings wanted = MqttSettingsFrom(settings, profile_);
  if (publisher_ && Same(wanted, current_)) return;
  publisher_.reset();
  current_ = wanted;
  if (wanted.host.empty()) return;
  publisher_ = std::make_unique<MqttPublisher>(wanted);
  if (picture_) publisher_->SetPictureSource(picture_);
  if (status_) publisher_->SetStatusListener(status_);
  publisher_->SetCommandListener([this](const std::string& payload, CommandIntake intake) { Command(payload, intake); });
  if (armHeard_) publisher_->On(MonitorEvent::ArmChanged(lastArm_));
  std::string error;
  if (!publisher_->Start(&error)) {
    publisher_.reset();
    if (status_) status_(false, error);
  }
}

void MqttLink::On(const MonitorEvent& event) {
  switch (event.kind) {
  case MonitorEvent::Kind::MonitoringStarted: Apply(AppSettings); break;
  case MonitorEvent::Kind::ArmChanged:
    // Said again to a new connection.
    armHeard_ = true;
    lastArm_ = event.arm;
    break;
  default: break;
  }
  if (publisher_) publisher_->On(event);
}

// Anyone who can publish to the broker can send these; what is not exactly
// a command changes nothing.
void MqttLink::Command(const std::string& payload, CommandIntake intake) {
  if (!arm_) return;
  const auto say = [this](bool& said, const std::string& text) {
    if (!said && notice_) notice_(text);
    said = true;
  };
  if (intake == CommandIntake::Retained)
    return say(retainedSaid_, "家からの指示のうち、ブローカーに保持(retained)された指示は古い指示のため無視しました。"
                              "指示は保持なしで送ってください");
  if (intake == CommandIntake::TooLarge)
    return say(tooLargeSaid_, "家から届いた指示が大きすぎるため無視しました (" + std::to_string(kMaxMqttCommandBytes) +
                                  " バイトまで)");
  const MonitoringCommand command = ParseMonitoringCommand(payload);
  switch (command.kind) {
  case MonitoringCommand::On: {
    std::string why;
    if (!arm_->Arm(ArmedBy::House, &why))
      say(armFailSaid_, "家からの指示で監視を開始できませんでした: " + why);
    else
      armFailSaid_ = false;
    break;
  }
  case MonitoringCommand::Off: arm_->Disarm(ArmedBy::House); break;
  case MonitoringCommand::Snooze: arm_->Snooze(command.minutes, ArmedBy::House); break;
  case MonitoringCommand::BadSnooze:
    say(badSnoozeSaid_, "家から届いた一時停止の指示「" + Shown(payload) + "」は分数が使えないため無視しました (1～" +
                            std::to_string(kMaxSnoozeMinutes) + " 分)");
    break;
  case MonitoringCommand::Unknown:
    say(unknownSaid_, "家から届いた指示「" + Shown(payload) +
                          "」は分からないため無視しました (ON・OFF・SNOOZE:分 のどれか)");
    break;
  }
}
