#include "session/MonitorSession.h"

#include <utility>

#include "monitor/MonitorMail.h"
#include "mqtt/MqttLink.h"
#include "platform/ExceptionBox.h"
#include "settings/Vardocamdef.h"

namespace {
IMonitorMail& MailOr(IMonitorMail* given, std::unique_ptr<IMonitorMail>& own) {
  if (given) return *given;
  own = std::make_unique<MonitorMail>();
  return *own;
}
} // namespace

void MonitorSession::TimerAdapter::SetEnabled(bool enabled) {
  if (enabled)
    timer_.start();
  else
    timer_.stop();
}

MonitorSession::MonitorSession(const MonitorHost& host, std::string profile, IMonitorMail* mail,
                               QObject* timerOwner)
    : host_(host), cycle_(timer_, host.pump, host.sound, MailOr(mail, ownMail_)) {
  captureTimer_.setParent(timerOwner);
  captureTimer_.setObjectName("CaptureTimer");
  captureTimer_.setInterval(kCaptureIntervalMs);
  QObject::connect(&captureTimer_, &QTimer::timeout, [this] { Tick(); });
  cycle_.AddEventListener(&host_.listener);
  // Mails kept for sending again live with the profile, in the user's data folder.
  if (auto* own = dynamic_cast<MonitorMail*>(ownMail_.get())) own->SetOutboxFolder(OutboxFolder(profile));
  // The picture of an MQTT snapshot is the detector's latest frame.
  mqtt_ = std::make_unique<MqttLink>(
      std::move(profile),
      [this] {
        IMonitorCamera* camera = cycle_.Camera();
        nsOpenCV* object = camera ? camera->Detector() : nullptr;
        return object ? object->ColourImage().clone() : cv::Mat();
      },
      [this](bool connected, const std::string& detail) { host_.listener.BrokerChanged(connected, detail); });
  cycle_.AddEventListener(mqtt_.get());
}

MonitorSession::~MonitorSession() {
  captureTimer_.stop();
  cycle_.RemoveEventListener(mqtt_.get());
  cycle_.RemoveEventListener(&host_.listener);
}

void MonitorSession::ConnectBroker() { mqtt_->Apply(AppSettings); }

void MonitorSession::LeaveBroker() {
  cycle_.RemoveEventListener(mqtt_.get());
  mqtt_->Apply(typVardocam{});
}

// Nothing a tick throws goes further than this: the host decides what
// becomes of it, and the timer keeps running.
void MonitorSession::Tick() {
  std::string message;
  if (!RunCatching([this] { cycle_.CaptureTimerTimer(); }, message) && host_.tickFailed)
    host_.tickFailed(message);
}
