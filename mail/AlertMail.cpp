#include "mail/AlertMail.h"

#include <cerrno>
#include <ctime>
#include <iconv.h>
#include <vector>

#include "mail/MessageId.h"
#include "mail/MimeMessage.h"
#include "mail/SmtpClient.h"
#include "net/LineEnd.h"
#include "platform/LocalTime.h"
#include "platform/ProgramName.h"
#include "settings/Vardocamdef.h"

namespace {
constexpr int32_t kConnectStartTls = 1;
constexpr int32_t kConnectFullTls = 2;
constexpr char kPictureFile[] = "recept.jpg";
constexpr char kSecondPictureFile[] = "person.jpg";

int replyTimeoutMs = kSmtpTimeoutMs;
int sessionTimeoutMs = kSmtpSessionTimeoutMs;

// What tells the two mails apart.
struct MailKind {
  const char* subject;  // %s: the time of day; the program's name follows
  const char* line1;
  const char* line2;    // %s: the same time
  const char* line3;
};

// A report answers a request: its picture was taken, nothing was detected.
const MailKind kAlert{"異常動体検出(%s)-", "異常動体を検出しました。", "検出時刻[%s]", "検出画像を添付します"};
const MailKind kReport{"状況報告画像(%s)-", "状況報告をします。", "撮影時刻[%s]", "状況報告画像を添付します"};

std::string TimeOfDay() {
  return LocalTimeText(std::time(nullptr), "%H:%M:%S");
}

std::string Format(const char* pattern, const std::string& value) {
  std::string out(pattern);
  const size_t at = out.find("%s");
  return at == std::string::npos ? out : out.replace(at, 2, value);
}

const char kReplyTooLongText[] =
    "SMTPサーバの応答が長すぎるため接続を切りました。サーバ名とポート番号を確認してください。";

// The server's words, cut at a character boundary when they are long.
std::string Quoted(const std::string& reply) {
  if (reply.size() <= kQuotedReplyMaxBytes) return reply;
  size_t end = kQuotedReplyMaxBytes;
  while (end > 0 && (static_cast<unsigned char>(reply[end]) & 0xC0) == 0x80) --end;
  return reply.substr(0, end) + "...";
}

// The session broke off (time-out, closed line) or the server said no: the
// socket's state tells which.
std::string RefusalText(const TSmtpClient& client, const char* step) {
  const int error = client.Sock.LastError();
  if (error == kSockErrTimedOut)
    return std::string("SMTPサーバからの応答が時間内にありませんでした(") + step + ")。";
  if (error == kSockErrNoBuffers) return kReplyTooLongText;
  if (error != 0 || client.ResultCode == 0)
    return std::string("SMTPサーバとの接続が途中で切れました(") + step + ")。";
  return std::string("SMTPサーバが送信を拒否しました(") + step + "): " + Quoted(client.ResultString);
}

// The sender's name when it is to be shown, in the subject's encoding and
// without control characters; empty: the address alone.
std::string FromName(const MailServerSettings& settings) {
  std::string name;
  for (char c : settings.fromName)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) name.push_back(c);
  if (!settings.showFromName || name.find_first_not_of(' ') == std::string::npos) return "";
  return SjisToIso2022Jp(Utf8ToCp932(name));
}

// Header, body and pictures, encoded; the pictures are written first.
void FillMessage(TMimeMessage& message, const std::string& subject, const std::vector<std::string>& body,
                 const char* pictureFile, const MailInputs& inputs, const std::string& recipient) {
  const MailServerSettings& settings = inputs.server;
  message.Header.CharsetCode = ISO_2022_JP;
  message.Header.Priority = MP_high;
  message.Header.Subject = SjisToIso2022Jp(Utf8ToCp932(subject));
  message.Header.From = settings.mailAddress;
  message.Header.FromName = FromName(settings);
  message.Header.MessageID = NewMessageId(settings.mailAddress);
  message.Header.ToList.clear();
  message.Header.ToList.push_back(recipient);
  for (const std::string& address : inputs.moreRecipients) message.Header.ToList.push_back(address);

  TMimePart* root = message.AddPartMultipart("", nullptr);
  message.AddPartText(body, root);
  if (inputs.withPicture) {
    if (inputs.writePicture) inputs.writePicture(pictureFile);
    if (inputs.writeSecondPicture) inputs.writeSecondPicture(kSecondPictureFile);
    message.AddPartBinaryFromFile(pictureFile, root);
  }
  if (inputs.withPicture && inputs.writeSecondPicture) message.AddPartBinaryFromFile(kSecondPictureFile, root);
  for (const std::string& path : inputs.moreAttachments) message.AddPartBinaryFromFile(path, root);
  message.EncodeMessage();
}

std::string Recipient(const MailServerSettings& settings) {
  std::string recipient;
  size_t length = 0;
  AnsiToUtf8(settings.toAddress, &recipient, length);
  return recipient;
}

// The camera a subject names: the inputs' (a camera name or a profile),
// else the program's name as always.
std::string SubjectCamera(const MailInputs& inputs) {
  return inputs.cameraName.empty() ? std::string(kDisplayName) : inputs.cameraName;
}

std::vector<std::string> KindBody(const MailKind& kind, const std::string& time) {
  return {kind.line1, Format(kind.line2, time), kind.line3, kDisplayName};
}

// One whole SMTP transaction: login, the envelope, the message, QUIT.
// `lines` gives the message once the server has taken the login, so that a
// mail that cannot go out writes no picture; what it throws reaches the
// caller after the session was closed. A refused step ends the transaction:
// nothing more goes out but QUIT.
DeliveryResult Transact(const MailServerSettings& settings, const std::string& from,
                        const std::vector<std::string>& to, const std::function<std::vector<std::string>()>& lines) {
  DeliveryResult result;
  if (settings.host.empty()) {
    result.failure = "SMTPサーバ名が設定されていません。";
    return result;
  }
  // An address with a line break would carry a command or a header of its
  // own: such a mail is never sent.
  bool lineBreak = HasLineBreak(from);
  for (const std::string& address : to) lineBreak = lineBreak || HasLineBreak(address);
  if (lineBreak) {
    result.refused = true;
    result.failure = "メールアドレスに改行が含まれています。";
    return result;
  }
  TSmtpClient client;
  if (!SmtpLogin(settings, client, nullptr)) {
    result.failure = SmtpLoginFailureText(client);
    return result;
  }
  std::vector<std::string> message;
  try {
    message = lines();
  } catch (...) {
    client.Logout();
    throw;
  }
  size_t size = 0;
  for (const std::string& line : message) size += line.size() + 2;
  const char* refusedAt = nullptr;
  if (!client.MailFrom(from, static_cast<int>(size))) refusedAt = "MAIL FROM";
  for (size_t i = 0; !refusedAt && i < to.size(); ++i)
    if (!client.MailTo(to[i])) refusedAt = "RCPT TO";
  if (!refusedAt && !client.MailData(message)) refusedAt = "DATA";
  if (refusedAt) {
    result.failure = RefusalText(client, refusedAt);
    result.refused = client.Sock.LastError() == 0 && client.ResultCode >= 500 && client.ResultCode < 600;
  } else {
    result.sent = true;
  }
  client.Logout();
  return result;
}

MailResult SendMail(const std::string& subject, const std::vector<std::string>& body, const char* pictureFile,
                    const MailInputs& inputs) {
  if (!inputs.wanted) return {};
  const MailServerSettings& settings = inputs.server;
  const std::string recipient = Recipient(settings);
  std::vector<std::string> to{recipient};
  to.insert(to.end(), inputs.moreRecipients.begin(), inputs.moreRecipients.end());
  const DeliveryResult result = Transact(settings, settings.mailAddress, to, [&] {
    TMimeMessage message;
    FillMessage(message, subject, body, pictureFile, inputs, recipient);
    return std::move(message.Lines);
  });
  return {result.sent, result.failure};
}

MailResult SendKind(const MailKind& kind, const MailInputs& inputs) {
  const std::string time = TimeOfDay();
  return SendMail(Format(kind.subject, time) + SubjectCamera(inputs), KindBody(kind, time), kPictureFile, inputs);
}
} // namespace

PreparedMail ComposeMailAs(const std::string& subject, const std::vector<std::string>& body,
                           const char* pictureFile, const MailInputs& inputs) {
  PreparedMail mail;
  mail.from = inputs.server.mailAddress;
  mail.to = Recipient(inputs.server);
  TMimeMessage message;
  FillMessage(message, subject, body, pictureFile, inputs, mail.to);
  for (const std::string& line : message.Lines) mail.text += line + "\r\n";
  return mail;
}

namespace {
std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}
} // namespace

MailResult SendAlertMail(const MailInputs& inputs) { return SendKind(kAlert, inputs); }

MailResult SendReportMail(const MailInputs& inputs, const std::string& stateLine) {
  const std::string time = TimeOfDay();
  std::vector<std::string> body = KindBody(kReport, time);
  if (!stateLine.empty()) body.insert(body.begin() + 2, stateLine);
  return SendMail(Format(kReport.subject, time) + SubjectCamera(inputs), body, kPictureFile, inputs);
}

MailResult SendSummaryMail(const MailInputs& inputs, const std::string& subject,
                           const std::vector<std::string>& body) {
  return SendMail(subject, body, kSummaryPictureFile, inputs);
}

PreparedMail ComposeAlertMail(const MailInputs& inputs) {
  const std::string time = TimeOfDay();
  return ComposeMailAs(Format(kAlert.subject, time) + SubjectCamera(inputs), KindBody(kAlert, time), kPictureFile,
                       inputs);
}

PreparedMail ComposeMail(const std::string& subject, const std::vector<std::string>& body,
                         const MailInputs& inputs) {
  std::vector<std::string> lines = body;
  lines.push_back(kDisplayName);
  return ComposeMailAs(subject + "-" + SubjectCamera(inputs), lines, kPictureFile, inputs);
}

DeliveryResult DeliverMail(const MailServerSettings& server, const PreparedMail& mail) {
  return Transact(server, mail.from, {mail.to}, [&] { return LinesOf(mail.text); });
}

MailResult SendConfirmationMail(const MailInputs& inputs, const std::string& what,
                                const std::vector<std::string>& lines) {
  const std::string time = TimeOfDay();
  std::vector<std::string> body = lines;
  body.push_back(Format("時刻[%s]", time));
  body.push_back("現在の画像を添付します");
  body.push_back(kDisplayName);
  const std::string camera =
      inputs.cameraName.empty() ? CameraName(AppSettings, SettingsProfile()) : inputs.cameraName;
  return SendMail(Format((what + "(%s)-").c_str(), time) + camera, body,
                  kPictureFile, inputs);
}

void SetMailReplyTimeoutMs(int ms) { replyTimeoutMs = ms; }

void SetMailSessionTimeoutMs(int ms) { sessionTimeoutMs = ms; }

std::string SmtpLoginFailureText(const TSmtpClient& client) {
  const int error = client.Sock.LastError();
  if (client.Sock.SSL().CertRejected())
    return "SMTPサーバの証明書を信頼できませんでした。サーバ名を確認するか、"
           "自己署名の証明書なら「証明書を検証しない」を選んでください。";
  switch (client.LoginFailure) {
    case TSmtpLoginFailure::StartTlsMissing:
      return "SMTPサーバがTLS接続(STARTTLS)に対応していません。接続方式を確認してください。";
    case TSmtpLoginFailure::AuthRefused:
      // The server's words tell a wrong password from, say, a mechanism
      // that needs encryption first.
      if (client.ResultCode != 0)
        return "SMTPサーバにログインできませんでした。ユーザ名とパスワードを確認してください(サーバの応答: " +
               Quoted(client.ResultString) + ")。";
      return "SMTPサーバにログインできませんでした。ユーザ名とパスワードを確認してください。";
    case TSmtpLoginFailure::AuthNoMechanism:
      return "SMTPサーバが対応している認証方式がありません。ユーザ名とパスワードを空にするか、"
             "サーバの設定を確認してください。";
    default:
      break;
  }
  switch (error) {
    case kSockErrConnRefused:
      return "SMTPサーバに接続を拒否されました。サーバ名とポート番号を確認してください。";
    case kSockErrTimedOut:
      return "SMTPサーバからの応答が時間内にありませんでした。サーバ名・ポート番号・接続方式を確認してください。";
    case kSockErrHostNotFound:
    case kSockErrNoData:
    case kSockErrTryAgain:
    case kSockErrNoRecovery:
      return "SMTPサーバ名が見つかりません。サーバ名を確認してください。";
    case kSockErrTlsFailed:
      return "SMTPサーバとの暗号化(TLS)接続に失敗しました。接続方式とポート番号を確認してください。";
    case kSockErrNoBuffers:
      return kReplyTooLongText;
    default:
      break;
  }
  if (client.LoginFailure == TSmtpLoginFailure::Greeting || client.LoginFailure == TSmtpLoginFailure::Hello)
    return "SMTPサーバに受け付けられませんでした: " + Quoted(client.ResultString);
  return "SMTPサーバとの接続に失敗しました。";
}

MailServerSettings SmtpServerOf(const typVardocam& settings) {
  MailServerSettings s;
  s.host = settings.MAIL_HOSTNAME;
  s.connectType = settings.MAIL_CONNECT_TYPE;
  s.port = settings.MAIL_PORTNUMBER;
  s.userName = settings.MAIL_USERNAME;
  s.password = settings.MAIL_PASSWORD;
  s.fromName = settings.MAIL_FROMNAME;
  s.showFromName = settings.MAIL_FROMNAME_SHOWN;
  s.mailAddress = settings.MAIL_MAILADDRESS;
  s.toAddress = settings.MAIL_TOADDRESS;
  s.verifyCert = !settings.MAIL_NOVERIFY_CERT;
  return s;
}

// The cancel is the caller's, not a setting: it stays as it was.
void FillSmtpSettings(MailServerSettings& s) {
  const TWaitCancel* cancel = s.cancel;
  s = SmtpServerOf(AppSettings);
  s.cancel = cancel;
}

bool SmtpLogin(const MailServerSettings& settings, TSmtpClient& client, TMimeMessage*) {
  client.AutoTLS = settings.connectType == kConnectStartTls;
  client.FullSSL = settings.connectType == kConnectFullTls;
  client.TargetHost = settings.host;
  client.UserName = settings.userName;
  client.Password = settings.password;
  client.TargetPort = std::to_string(settings.port);
  client.Timeout = replyTimeoutMs;
  client.SessionTimeout = sessionTimeoutMs;
  client.Sock.SSL().VerifyCert = settings.verifyCert;
  client.Sock.SetCancel(settings.cancel);
  return client.Login();
}

bool AnsiToUtf8(const std::string& text, std::string* output, size_t& length) {
  // The text is already UTF-8; it stops at a NUL as the C string did.
  const std::string utf8 = text.substr(0, text.find('\0'));
  if (output) {
    *output = utf8;
    length = utf8.size();
  } else {
    length = utf8.size() + 1;
  }
  return true;
}

std::string SjisPairToJis(uint8_t s1, uint8_t s2) {
  uint8_t first = static_cast<uint8_t>(s1 <= 0x9F ? 2 * (s1 - 0x70) : 2 * (s1 - 0xB0));
  if (s2 < 0x9F) --first;
  uint8_t second;
  if (s2 < 0x7F)
    second = static_cast<uint8_t>(s2 - 0x1F);
  else if (s2 < 0x9F)
    second = static_cast<uint8_t>(s2 - 0x20);
  else
    second = static_cast<uint8_t>(s2 - 0x7E);
  return std::string{static_cast<char>(first), static_cast<char>(second)};
}

namespace {
bool IsLeadByte(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
const char kToJis[] = "\x1B$B";
const char kToAscii[] = "\x1B(B";
} // namespace

std::string SjisToIso2022Jp(const std::string& sjis) {
  std::string out;
  bool inDoubleByte = false;
  for (size_t i = 0; i < sjis.size();) {
    const uint8_t b = static_cast<uint8_t>(sjis[i]);
    // A lead byte at the very end has no partner: it is passed as a single
    // byte rather than read past the text.
    if (IsLeadByte(b) && i + 1 < sjis.size()) {
      if (!inDoubleByte) {
        out += kToJis;
        inDoubleByte = true;
      }
      out += SjisPairToJis(b, static_cast<uint8_t>(sjis[i + 1]));
      i += 2;
      continue;
    }
    if (inDoubleByte) {
      out += kToAscii;
      inDoubleByte = false;
    }
    if (!(b == '\r' && i + 1 < sjis.size() && sjis[i + 1] == '\n')) out.push_back(static_cast<char>(b));
    ++i;
  }
  if (inDoubleByte) out += kToAscii;
  return out;
}

std::string Utf8ToCp932(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932//IGNORE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return utf8;
  std::string out(utf8.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* outPtr = &out[0];
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) break;
    if (errno == EILSEQ || errno == EINVAL) {
      // Skip what cannot be converted, one byte at a time.
      ++in;
      --inLeft;
    } else {
      break;  // E2BIG cannot happen: CP932 is never longer than UTF-8 here
    }
  }
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}
