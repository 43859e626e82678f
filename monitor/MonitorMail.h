#pragma once

#include <memory>

#include "mail/MailOutbox.h"
#include "monitor/ArmControl.h"
#include "monitor/MailCommandDesk.h"
#include "monitor/MonitorServices.h"
#include "pop3/Pop3Client.h"

// The mails as the mail and request-check code send them, with the settings
// of the moment and the camera's latest frame as the picture, and with the
// main window's POP3 client, which lives as long as the window.
class MonitorMail : public IMonitorMail {
public:
  MailResult SendAlertMail(IMonitorCamera& camera) override;
  MailResult SendPersonAlertMail(IMonitorCamera& camera, const PersonFound& person) override;
  RequestCheckResult CheckRequestMail(IMonitorCamera& camera) override;
  MailResult SendHealthMail(const std::string& subject, const std::vector<std::string>& body,
                            IMonitorCamera& camera) override;
  void DeliverPending(IMonitorEvents& events) override;

  // With MAIL_RETRY on, mails that could not be sent are kept in `folder`
  // (read at the first turn) and sent again; without a folder, none are.
  void SetOutboxFolder(const std::string& folder);
  // One contact sheet of the event's frames, when EVENT_SUMMARY_MAIL is on.
  MailResult SendEventSummaryMail(const EventInfo& event) override;
  // Where commands by mail switch monitoring; none (the default): every
  // mail is a plain request. Not owned.
  void SetArmControl(IArmControl* arm) { arm_ = arm; }

  TPop3Client PopClient;

private:
  // Tries the composed mail once and keeps it when that fails.
  MailResult SendKeeping(const PreparedMail& mail);

  std::unique_ptr<MailOutbox> outbox_;
  bool outboxLoaded_ = false;
  IArmControl* arm_ = nullptr;
  MailCommandDesk commands_;
};
