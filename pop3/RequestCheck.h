#pragma once

#include <functional>
#include <string>

#include "mail/AlertMail.h"

class TPop3Client;

// The receive side of the settings: the request mailbox's server.
void FillPopSettings(MailServerSettings& settings);

// Points the client at the server of the settings: host, port, user, password.
void ApplyPopSettings(TPop3Client& popClient, const MailServerSettings& settings);

// Connects and logs in to the server of `settings`: "" when logged in,
// otherwise why not, in words a user can act on (and nothing left open).
std::string ConnectPop3(TPop3Client& popClient, const MailServerSettings& settings);

// Mails the status report that answers the requests.
using ReportMailSender = std::function<MailResult()>;

// One poll of the request mailbox on the server of `settings`: every
// message in it is a request. All of them are deleted, and when there was
// at least one, one status report is mailed through `sendReport`. A failure
// to connect or log in ends the poll quietly; an error after the login (an
// error reply, a status without a count, a closed connection) is thrown to
// the caller, the monitoring cycle.
struct RequestCheckResult {
  bool ok = true;           // the mailbox was read
  int requests = 0;         // requests found, and answered by one report
  std::string failure;      // why not, when !ok
};
RequestCheckResult CheckRequestMail(TPop3Client& popClient, const MailServerSettings& settings,
                                    const ReportMailSender& sendReport);
