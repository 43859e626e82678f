#pragma once

#include <memory>

#include "mail/MailOutbox.h"
#include "monitor/ArmControl.h"
#include "monitor/MailCommandDesk.h"
#include "monitor/MonitorServices.h"
#include "pop3/HandledMail.h"
#include "pop3/Pop3Client.h"

// The mails as the mail and request-check code send them, with the settings
// and the picture of their context. Every call but the set-up ones runs on
// one thread at a time (the mail worker), which alone touches the POP3
// client, the outbox and the commands' desk.
class MonitorMail : public IMonitorMail {
public:
  MailResult SendAlertMail(const MailContext& context) override;
  MailResult SendPersonAlertMail(const MailContext& context, const PersonFound& person) override;
  RequestCheckResult CheckRequestMail(const MailContext& context) override;
  MailResult SendHealthMail(const MailContext& context, const std::string& subject,
                            const std::vector<std::string>& body) override;
  PendingMailReport DeliverPending(const MailContext& context) override;
  MailResult SendTestMail(const MailContext& context) override;

  // With MAIL_RETRY on, mails that could not be sent are kept in `folder`
  // (read at the first turn) and sent again; without a folder, none are.
  void SetOutboxFolder(const std::string& folder);
  // One contact sheet of the event's frames, when EVENT_SUMMARY_MAIL is on.
  MailResult SendEventSummaryMail(const MailContext& context, const EventInfo& event) override;
  // Where commands by mail switch monitoring; none (the default): every
  // mail is a plain request. Not owned; called on the mail's thread.
  void SetArmControl(IArmControl* arm) { arm_ = arm; }

  // Where the mails already handled and the commands' lock-out are kept
  // (HandledMailFile); read at the first poll. Without: in memory only.
  void SetHandledMailFile(const std::string& path);

  TPop3Client PopClient;

private:
  // Tries the composed mail once and keeps it when that fails.
  MailResult SendKeeping(const MailContext& context, const PreparedMail& mail);

  std::unique_ptr<MailOutbox> outbox_;
  bool outboxLoaded_ = false;
  IArmControl* arm_ = nullptr;
  MailCommandDesk commands_;
  std::unique_ptr<HandledMail> handled_ = std::make_unique<HandledMail>();
  bool handledLoaded_ = false;
};
