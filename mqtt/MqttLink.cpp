#include "mqtt/MqttLink.h"

#include <tuple>

#include "settings/Vardocamdef.h"

namespace {
bool Same(const MqttSettings& a, const MqttSettings& b) {
  return std::tie(a.host, a.port, a.user, a.password, a.tls, a.prefix, a.device) ==
         std::tie(b.host, b.port, b.user, b.password, b.tls, b.prefix, b.device);
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
  std::string error;
  if (!publisher_->Start(&error)) {
    publisher_.reset();
    if (status_) status_(false, error);
  }
}

void MqttLink::MonitoringStarted(unsigned warmUpMs) {
  Apply(AppSettings);
  if (publisher_) publisher_->MonitoringStarted(warmUpMs);
}

void MqttLink::MonitoringStopped() {
  if (publisher_) publisher_->MonitoringStopped();
}

void MqttLink::PersonDetected(const MotionRegion& box) {
  if (publisher_) publisher_->PersonDetected(box);
}

void MqttLink::MotionDetected(const MotionRegions& regions) {
  if (publisher_) publisher_->MotionDetected(regions);
}

void MqttLink::AlarmStarted() {
  if (publisher_) publisher_->AlarmStarted();
}

void MqttLink::AlarmEnded() {
  if (publisher_) publisher_->AlarmEnded();
}

void MqttLink::AlertMailDone(bool sent, const std::string& failure) {
  if (publisher_) publisher_->AlertMailDone(sent, failure);
}

void MqttLink::AlertMailHeldBack(int secondsLeft) {
  if (publisher_) publisher_->AlertMailHeldBack(secondsLeft);
}

void MqttLink::RequestCheckDone(bool ok, int requests, const std::string& failure) {
  if (publisher_) publisher_->RequestCheckDone(ok, requests, failure);
}

void MqttLink::CameraLost() {
  if (publisher_) publisher_->CameraLost();
}

void MqttLink::CameraBack() {
  if (publisher_) publisher_->CameraBack();
}

void MqttLink::ArchiveFloorChanged(bool belowFloor, const std::string& detail) {
  if (publisher_) publisher_->ArchiveFloorChanged(belowFloor, detail);
}
