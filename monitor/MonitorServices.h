#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "archive/EventLayout.h"
#include "mail/AlertMail.h"
#include "pop3/RequestCheck.h"
#include "settings/Vardocamdef.h"
#include "vision/PersonCheck.h"


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

class TWaitCancel;

// What a mail works from, taken on the tick's thread when it is asked for:
// the settings of that moment and a copy of the camera's picture (empty:
// none), so that the mail can go on another thread while the tick goes on.
struct MailContext {
  typVardocam settings;
  cv::Mat picture;
  // Ends the mail's waits when the monitor stops (not owned; nullptr: none).
  const TWaitCancel* cancel = nullptr;
};

// What a turn of the kept mails brought: what the user should read, and how
// many wait now when that changed.
struct PendingMailReport {
  bool changed = false;
  int waiting = 0;
  std::vector<std::string> notices;
};

// The mails a tick asks for. Each call may wait for a server as long as its
// time-outs allow, so the cycle makes them through an IMailRunner; they
// read nothing but their context.
class IMonitorMail {
public:
  virtual ~IMonitorMail() = default;
  virtual MailResult SendAlertMail(const MailContext& context) = 0;
  // The alert for a confirmed person: the frame it was found in, and a copy
  // with its box drawn as a second picture. Without its own way to send
  // that, the context's picture goes as usual.
  virtual MailResult SendPersonAlertMail(const MailContext& context, const PersonFound& person) {
    (void)person;
    return SendAlertMail(context);
  }
  virtual RequestCheckResult CheckRequestMail(const MailContext& context) = 0;
  // The summary of an alarm's event, once its folder is complete. Not sent
  // where there is no way to build it.
  virtual MailResult SendEventSummaryMail(const MailContext& context, const EventInfo& event) {
    (void)context;
    (void)event;
    return {false, ""};
  }
  // A mail about the camera's own health, with the context's picture when
  // there is one. Not sent where there is no way to build it.
  virtual MailResult SendHealthMail(const MailContext& context, const std::string& subject,
                                    const std::vector<std::string>& body) {
    (void)context;
    (void)subject;
    (void)body;
    return {false, ""};
  }
  // A test alarm's mail, marked as a test, to the alert mail's recipient,
  // with the context's picture when there is one. Tried once, never kept
  // for sending again: the user who asked wants to know now. Not sent
  // where there is no way to build it.
  virtual MailResult SendTestMail(const MailContext& context) {
    (void)context;
    return {false, ""};
  }
  // Mails kept for sending again get their turn.
  virtual PendingMailReport DeliverPending(const MailContext& context) {
    (void)context;
    return {};
  }
};

// Where the mails run. `work` may wait on the network: in the program it
// runs on the mail worker, and `done` follows on the tick's thread, as an
// event of the session's pump. Tests and tools run both at once.
class IMailRunner {
public:
  virtual ~IMailRunner() = default;
  virtual void Run(std::function<void()> work, std::function<void()> done) = 0;
  // Ends the waits of mails under way (the monitor's stop); nullptr: none.
  virtual const TWaitCancel* Cancel() const { return nullptr; }
};

// Both at once, on the caller's thread: what the cycle does without a worker.
class InlineMailRunner : public IMailRunner {
public:
  void Run(std::function<void()> work, std::function<void()> done) override {
    work();
    done();
  }
};
