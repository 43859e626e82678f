#pragma once
#include <cstdint>
#include <string>

class TSmtpClient;
class TMimeMessage;
class nsOpenCV;

// One mail server's settings, handed around for one operation.
struct MailServerSettings {
  std::string host;
  int32_t connectType = 0;  // 0 none, 1 STARTTLS (required), 2 TLS from the first byte
  int32_t port = 0;
  std::string userName;
  std::string password;
  std::string fromName;     // carried, but no header shows it
  std::string mailAddress;
  std::string toAddress;
  bool verifyCert = true;   // types 1 and 2: check the certificate and the host name
};

void FillSmtpSettings(MailServerSettings& settings);
void FillPopSettings(MailServerSettings& settings);

// Configures the client from the settings and logs in. True once the server
// greeted and accepted EHLO or HELO, the encryption chosen is on (type 1
// requires STARTTLS; types 1 and 2 a trusted certificate unless the user
// opted out) and, with credentials set, the server accepted them.
bool SmtpLogin(const MailServerSettings& settings, TSmtpClient& client, TMimeMessage* message);

// The two mails. True when the gate setting is off, or when the server
// accepted the message (a positive reply after its text); false otherwise,
// with the reason in LastMailFailure. A refused sender or recipient ends the
// session with QUIT before DATA. A "recept.jpg" that cannot be read raises
// std::runtime_error naming the file, after the session was closed with QUIT.
bool SendAlertMail();
bool SendReportMail();

// Most of a server's reply that a failure text quotes: it goes to the status
// line and the log, and a hostile server may send a whole reply's worth.
constexpr size_t kQuotedReplyMaxBytes = 200;

// Why the last SendAlertMail or SendReportMail did not send, in words a
// user can act on (with the server's reply where it refused); empty after a
// mail that went out or was not wanted.
const std::string& LastMailFailure();

// The picture that the mails attach: the main window's detector, whose
// latest frame is saved as "recept.jpg". Not owned; nullptr when none.
void SetMailImageSource(nsOpenCV* vision);

// The reply time-out and the whole-session deadline of the mails' SMTP
// sessions (tests shorten them).
void SetMailReplyTimeoutMs(int ms);
void SetMailSessionTimeoutMs(int ms);

// Why Login of this client failed, in words a user can act on.
std::string SmtpLoginFailureText(const TSmtpClient& client);

// The system code page is UTF-8, so this copies; `length` is the text's
// byte count, or that count plus the terminator when no output is wanted.
bool AnsiToUtf8(const std::string& text, std::string* output, size_t& length);

// The Subject's own converter: Shift_JIS (CP932) bytes to ISO-2022-JP.
std::string SjisToIso2022Jp(const std::string& sjis);
std::string SjisPairToJis(uint8_t s1, uint8_t s2);

// UTF-8 to CP932 through iconv; characters CP932 lacks are dropped.
std::string Utf8ToCp932(const std::string& utf8);
