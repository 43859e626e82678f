#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TSmtpClient;
class TMimeMessage;
class TWaitCancel;
struct typVardocam;

// One mail server's settings, handed around for one operation.
struct MailServerSettings {
  std::string host;
  int32_t connectType = 0;  // 0 none, 1 STARTTLS (required), 2 TLS from the first byte
  int32_t port = 0;
  std::string userName;
  std::string password;
  std::string fromName;     // shown in From only when showFromName
  std::string mailAddress;
  std::string toAddress;
  bool verifyCert = true;   // types 1 and 2: check the certificate and the host name
  // Ends every wait of the session at once when cancelled (not owned;
  // nullptr: only the time-outs end them). The monitor's stop sets it.
  const TWaitCancel* cancel = nullptr;
  bool showFromName = false;
};

// The send side of a settings record, and of AppSettings.
MailServerSettings SmtpServerOf(const typVardocam& settings);
void FillSmtpSettings(MailServerSettings& settings);

// Configures the client from the settings and logs in. True once the server
// greeted and accepted EHLO or HELO, the encryption chosen is on (type 1
// requires STARTTLS; types 1 and 2 a trusted certificate unless the user
// opted out) and, with credentials set, the server accepted them.
bool SmtpLogin(const MailServerSettings& settings, TSmtpClient& client, TMimeMessage* message);

// Writes the picture a mail attaches, as a JPEG, to the file it is given.
using MailPictureWriter = std::function<void(const std::string& path)>;

// What one mail needs. The picture is written only once the server has
// accepted the login, so a mail that cannot go out leaves no file behind.
struct MailInputs {
  bool wanted = true;                 // the mail's own setting: off, nothing is done
  MailServerSettings server;
  MailPictureWriter writePicture;     // empty: the picture file is attached as it is
  // A second picture after the first (the person's box drawn); empty: none.
  MailPictureWriter writeSecondPicture;
  // False: the mail goes without a picture (a health mail when the camera
  // has given none).
  bool withPicture = true;
  // Files attached after the pictures, as they are (an event's pictures).
  std::vector<std::string> moreAttachments;
  // Recipients besides the settings' one (who sent a command).
  std::vector<std::string> moreRecipients;
  // The camera's name that ends every subject (CameraName); empty: the
  // program's name, but a confirmation's takes the settings' of now.
  std::string cameraName;
};

// How a mail went. A mail that is not wanted counts as sent: there is
// nothing for the user to fix.
struct MailResult {
  bool sent = true;
  // Why not, in words a user can act on (with the server's reply where it
  // refused); empty when sent.
  std::string failure;
};

// The two mails. Sent when not wanted, or when the server accepted the
// message (a positive reply after its text). A refused sender or recipient
// ends the session with QUIT before DATA. A "recept.jpg" that cannot be
// read raises std::runtime_error naming the file, after the session was
// closed with QUIT.
MailResult SendAlertMail(const MailInputs& inputs);
// `stateLine`, when given, follows the time line (monitoring's state, for
// a reader far away who cannot see the window).
MailResult SendReportMail(const MailInputs& inputs, const std::string& stateLine = "");
// The same way out for a mail whose subject and lines the caller words; its
// one picture is written to kSummaryPictureFile.
constexpr char kSummaryPictureFile[] = "summary.jpg";
MailResult SendSummaryMail(const MailInputs& inputs, const std::string& subject,
                           const std::vector<std::string>& body);

// A mail composed whole before any session, so that it can be kept and
// sent again as it stands: the same Message-ID and Date each time.
struct PreparedMail {
  std::string from;  // the envelope, as it was when the mail was made
  std::string to;
  std::string text;  // the RFC 5322 message, CR LF line ends, as it goes after DATA
};

// The alert mail, or any mail of ours with its own subject and body lines
// (UTF-8; the camera's name follows the subject, the program's ends the body), with
// the inputs' pictures. Nothing is sent. A picture that cannot be read
// raises std::runtime_error naming the file.
PreparedMail ComposeAlertMail(const MailInputs& inputs);
PreparedMail ComposeMail(const std::string& subject, const std::vector<std::string>& body,
                         const MailInputs& inputs);
// The same with the subject and lines exactly as given, and the first
// picture written to `pictureFile`.
PreparedMail ComposeMailAs(const std::string& subject, const std::vector<std::string>& body,
                           const char* pictureFile, const MailInputs& inputs);

// How one delivery of a prepared mail went. `refused`: the server said no
// for good (a 5xx reply to the sender, a recipient or the text); every
// other failure (no answer, a time-out, a 4xx, a login refused) may pass.
struct DeliveryResult {
  bool sent = false;
  bool refused = false;
  std::string failure;  // in words a user can act on; empty when sent
};

// Logs in with `server` and hands over the prepared mail with its own
// envelope. Safe on any thread: it reads no setting.
DeliveryResult DeliverMail(const MailServerSettings& server, const PreparedMail& mail);
// The answer to a command by mail: `what` heads the subject (the time and
// the camera's name follow, as in the report), `lines` make the body.
MailResult SendConfirmationMail(const MailInputs& inputs, const std::string& what,
                                const std::vector<std::string>& lines);

// Most of a server's reply that a failure text quotes: it goes to the status
// line and the log, and a hostile server may send a whole reply's worth.
constexpr size_t kQuotedReplyMaxBytes = 200;

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
