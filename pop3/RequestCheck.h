#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "mail/AlertMail.h"

class HandledMail;
class TPop3Client;

// The receive side of the settings: the request mailbox's server.
MailServerSettings PopServerOf(const typVardocam& settings);
void FillPopSettings(MailServerSettings& settings);

// Points the client at the server of the settings: host, port, user, password.
void ApplyPopSettings(TPop3Client& popClient, const MailServerSettings& settings);

// Connects and logs in to the server of `settings`: "" when logged in,
// otherwise why not, in words a user can act on (and nothing left open).
std::string ConnectPop3(TPop3Client& popClient, const MailServerSettings& settings);

// Mails the status report that answers the requests.
using ReportMailSender = std::function<MailResult()>;

// The most of a message's header read to tell a command: a longer one is
// a plain request.
constexpr size_t kMaxCommandHeaderBytes = 64 * 1024;

// Commands by mail, when they are on: each message's header is shown to
// `take` before the message is deleted; a message it takes is a command,
// carried out by `run` once the mailbox is closed, which mails the answers.
struct RequestCommands {
  std::function<bool(const std::string& header)> take;
  std::function<MailResult()> run;
};

// One poll of the request mailbox on the server of `settings`: every
// message in it that is not a command is a request. All of them are
// deleted, and when there was at least one request, one status report is
// mailed through `sendReport`. A failure to connect or log in ends the poll
// quietly; an error after the login (an error reply, a status without a
// count, a closed connection) is thrown to the caller, the monitoring cycle.
struct RequestCheckResult {
  bool ok = true;           // the mailbox was read, and every answer went out
  int requests = 0;         // requests found, and answered by one report
  std::string failure;      // why not, when !ok
  int commands = 0;         // commands found, each answered on its own
  // What the user should know of the commands (wrong PINs, the lock-out).
  std::vector<std::string> notices = {};
  int repeated = 0;         // mails handled by an earlier poll, only deleted again
  bool committed = false;   // the server confirmed the deletions at its Quit
  // How each confirmation mail went (a command's answer, the lock-out's
  // notice), for whoever counts mails by kind; filled by the commands' side.
  std::vector<MailResult> confirmations = {};
};
// With a `handled` record, each mail is known by the server's UIDL, else by
// its Message-ID; one the record knows is deleted again and nothing more,
// and those of this poll are added and saved before any is carried out, so
// a server that does not delete them never gets them run twice.
RequestCheckResult CheckRequestMail(TPop3Client& popClient, const MailServerSettings& settings,
                                    const ReportMailSender& sendReport,
                                    const RequestCommands* commands = nullptr, HandledMail* handled = nullptr);
// How a mail is known in the handled record: "uid:<UIDL>" where the server
// gave one, else "msgid:<Message-ID>" from the header; empty: not at all.
std::string HandledMailId(const std::string& uid, const std::string& header);
