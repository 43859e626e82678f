#pragma once

// The window framework's services that the monitoring cycle leans on, kept
// small so that a test can drive the cycle without a screen.

// The repeating capture timer (kCaptureIntervalMs, or with a camera that
// wakes the tick, until the next thing due). Monitoring is on exactly while
// it runs.
class IMonitorTimer {
public:
  virtual ~IMonitorTimer() = default;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
};

// Dispatches every pending window message once and returns; any user
// action (a button, a menu, closing the window) can run inside it.
class IMessagePump {
public:
  virtual ~IMessagePump() = default;
  virtual void ProcessMessages() = 0;
};

#include "archive/EventLayout.h"
#include "mail/AlertMail.h"
#include "pop3/RequestCheck.h"
#include "vision/PersonCheck.h"

class IMonitorCamera;
class IMonitorEvents;

// The mails a tick sends, with the camera whose picture they attach.
class IMonitorMail {
public:
  virtual ~IMonitorMail() = default;
  virtual MailResult SendAlertMail(IMonitorCamera& camera) = 0;
  // The alert for a confirmed person: the frame it was found in, and a copy
  // with its box drawn as a second picture. Without its own way to send
  // that, the camera's picture goes as usual.
  virtual MailResult SendPersonAlertMail(IMonitorCamera& camera, const PersonFound& person) {
    (void)person;
    return SendAlertMail(camera);
  }
  virtual RequestCheckResult CheckRequestMail(IMonitorCamera& camera) = 0;
  // The summary of an alarm's event, once its folder is complete. Not sent
  // where there is no way to build it.
  virtual MailResult SendEventSummaryMail(const EventInfo& event) {
    (void)event;
    return {false, ""};
  }
  // A mail about the camera's own health, with its latest picture when it
  // has one. Not sent where there is no way to build it.
  virtual MailResult SendHealthMail(const std::string& subject, const std::vector<std::string>& body,
                                    IMonitorCamera& camera) {
    (void)subject;
    (void)body;
    (void)camera;
    return {false, ""};
  }
  // Mails kept for sending again get their turn (each tick); how many wait
  // and what was dropped is told to `events`.
  virtual void DeliverPending(IMonitorEvents& events) { (void)events; }
};
