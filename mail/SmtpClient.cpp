#include "mail/SmtpClient.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/Base64.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpReply.h"
#include "net/LineEnd.h"

TSmtpClient::TSmtpClient() {
  TargetPort = kSmtpPort;
  Timeout = kSmtpTimeoutMs;
  Sock.ConvertLineEnd = true;
  SystemName = TBlockingSocket::LocalName();
  if (SystemName.empty()) SystemName = "127.0.0.1";
}

TSmtpClient::~TSmtpClient() = default;

void TSmtpClient::ClearResult() {
  ResultCode = 0;
  ResultString.clear();
  FullResult.clear();
  EnhCode1 = EnhCode2 = EnhCode3 = 0;
}

int TSmtpClient::ReadResult() {
  ClearResult();
  size_t replyBytes = 0;
  for (;;) {
    // No line may take more than what is left of the reply's byte budget.
    Sock.MaxLineLength = static_cast<int>(std::max<size_t>(1, kMaxReplyBytes - replyBytes));
    ResultString = Sock.RecvString(Timeout);
    FullResult.push_back(ResultString);
    replyBytes += ResultString.size() + 2;
    if (Sock.LastError() == kSockErrNoBuffers) {
      // The rest of that reply cannot be told from the next one: the
      // session is over.
      Sock.CloseSocket();
      break;
    }
    if (Sock.LastError() != 0 || !smtp::ReplyContinues(ResultString)) break;
    if (FullResult.size() >= kMaxReplyLines || replyBytes >= kMaxReplyBytes) {
      // A reply that never ends is no reply; its code must not count.
      Sock.CloseSocket();
      ResultCode = 0;
      return 0;
    }
  }
  // A reply cut off by a socket error after its first line is incomplete:
  // its code must not pass for the server's answer.
  ResultCode = Sock.LastError() != 0 ? 0 : smtp::ReplyCode(FullResult.front());
  smtp::ParseEnhancedCode(FullResult.front(), EnhCode1, EnhCode2, EnhCode3);
  return ResultCode;
}

int TSmtpClient::Command(const std::string& text) {
  if (HasLineBreak(text)) {
    ClearResult();
    return 0;
  }
  Sock.SendString(text + "\r\n");
  return ReadResult();
}

bool TSmtpClient::Connect() {
  Sock.CloseSocket();
  Sock.Bind(IPInterface, "0");
  if (Sock.LastError() == 0) {
    Sock.Connect(TargetHost, TargetPort);
    if (Sock.LastError() == 0 && FullSSL) Sock.SSLDoConnect();
  }
  return Sock.LastError() == 0;
}

bool TSmtpClient::Ehlo() {
  const int code = Command("EHLO " + SystemName);
  return code >= 250 && code <= 259;
}

bool TSmtpClient::Helo() {
  const int code = Command("HELO " + SystemName);
  return code >= 250 && code <= 259;
}

bool TSmtpClient::StartTLS() {
  if (FindCap("STARTTLS").empty()) return false;
  if (Command("STARTTLS") == 220 && Sock.LastError() == 0) Sock.SSLDoConnect();
  else return false;
  return Sock.LastError() == 0;
}

bool TSmtpClient::AuthLogin() {
  if (Command("AUTH LOGIN") != 334) return false;
  if (Command(Base64Encode(UserName)) != 334) return false;
  return Command(Base64Encode(Password)) == 235;
}

bool TSmtpClient::AuthPlain() {
  // RFC 4616: no authorisation identity, then the user and the password,
  // each after a NUL.
  const std::string message = std::string(1, '\0') + UserName + std::string(1, '\0') + Password;
  if (Command("AUTH PLAIN") != 334) return false;
  return Command(Base64Encode(message)) == 235;
}

bool TSmtpClient::AuthCram() {
  if (Command("AUTH CRAM-MD5") != 334) return false;
  const std::string challenge = ResultString.size() > 4 ? ResultString.substr(4) : std::string();
  return Command(smtp::CramMd5Response(UserName, Password, challenge)) == 235;
}

std::string TSmtpClient::FindCap(const std::string& name) const {
  return smtp::FindCapability(ESMTPcap, name);
}

bool TSmtpClient::FailLogin(TSmtpLoginFailure why) {
  LoginFailure = why;
  return false;
}

// With credentials set the mail goes out authenticated or not at all. The
// mechanisms offered that we know go strongest first; the next one only
// when the server did not judge the credentials of the one before.
bool TSmtpClient::Authenticate() {
  std::string auth = FindCap("AUTH ");
  if (auth.empty()) auth = FindCap("AUTH=");
  // A server that asks for no authentication gets none.
  if (auth.empty()) return true;
  for (char& c : auth) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const struct {
    const char* name;
    bool (TSmtpClient::*run)();
  } mechanisms[] = {{"CRAM-MD5", &TSmtpClient::AuthCram},
                    {"LOGIN", &TSmtpClient::AuthLogin},
                    {"PLAIN", &TSmtpClient::AuthPlain}};
  bool offered = false;
  for (const auto& mechanism : mechanisms) {
    if (!smtp::HasWord(auth.substr(5), mechanism.name)) continue;
    offered = true;
    AuthDone = (this->*mechanism.run)();
    if (AuthDone) return true;
    if (Sock.LastError() != 0 || !smtp::AuthMayTryAnotherMechanism(ResultCode)) break;
  }
  return FailLogin(offered ? TSmtpLoginFailure::AuthRefused : TSmtpLoginFailure::AuthNoMechanism);
}

bool TSmtpClient::Login() {
  ESMTP = true;
  AuthDone = false;
  ESMTPcap.clear();
  ESMTPSize = false;
  MaxSize = 0;
  LoginFailure = TSmtpLoginFailure::None;
  Sock.SetDeadline(TBlockingSocket::Clock::now() + std::chrono::milliseconds(SessionTimeout));
  if (!Connect()) return FailLogin(TSmtpLoginFailure::Connect);
  if (ReadResult() != 220) return FailLogin(TSmtpLoginFailure::Greeting);
  if (!Ehlo()) {
    ESMTP = false;
    if (!Helo()) return FailLogin(TSmtpLoginFailure::Hello);
  }
  // Encryption chosen means encryption or nothing: without EHLO there is
  // no STARTTLS.
  if (!ESMTP) return AutoTLS && !FullSSL ? FailLogin(TSmtpLoginFailure::StartTlsMissing) : true;

  ESMTPcap = smtp::CapabilitiesOf(FullResult);
  if (!FullSSL && AutoTLS) {
    if (FindCap("STARTTLS").empty()) return FailLogin(TSmtpLoginFailure::StartTlsMissing);
    if (!StartTLS()) return FailLogin(TSmtpLoginFailure::StartTls);
    Ehlo();
    ESMTPcap = smtp::CapabilitiesOf(FullResult);
  }
  if ((!UserName.empty() || !Password.empty()) && !Authenticate()) return false;
  const std::string size = FindCap("SIZE");
  if (!size.empty()) {
    ESMTPSize = true;
    MaxSize = smtp::SizeOfCapability(size);
  }
  return true;
}

bool TSmtpClient::MailFrom(const std::string& address, int size) {
  std::string command = "MAIL FROM:<" + address + ">";
  if (ESMTPSize && size > 0) command += " SIZE=" + std::to_string(size);
  return Command(command) == 250;
}

bool TSmtpClient::MailTo(const std::string& address) {
  return Command("RCPT TO:<" + address + ">") == 250;
}

bool TSmtpClient::MailData(const std::vector<std::string>& lines) {
  if (Command("DATA") != 354) return false;
  for (const std::string& batch : smtp::DataBatches(lines)) {
    Sock.SendString(batch);
    if (Sock.LastError() != 0) break;
  }
  Sock.SendString(".\r\n");
  // Any positive completion after the text means the server took the mail.
  const int code = ReadResult();
  return code >= 200 && code < 300;
}

bool TSmtpClient::Logout() {
  const bool ok = Command("QUIT") == 221;
  Sock.CloseSocket();
  return ok;
}
