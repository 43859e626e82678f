#pragma once

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

  // Where commands by mail switch monitoring; none (the default): every
  // mail is a plain request. Not owned.
  void SetArmControl(IArmControl* arm) { arm_ = arm; }

  TPop3Client PopClient;

private:
  IArmControl* arm_ = nullptr;
  MailCommandDesk commands_;
};
