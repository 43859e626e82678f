#include "mail/SmtpClient.h"

#include <cctype>

#include "mail/SmtpAuth.h"
#include "mail/SmtpReply.h"

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
  for (;;) {
    ResultString = Sock.RecvString(Timeout);
    FullResult.push_back(ResultString);
    if (Sock.LastError() != 0 || !smtp::ReplyContinues(ResultString)) break;
    if (FullResult.size() >= kMaxReplyLines) {
      // A reply that never ends is no reply; its code must not count.
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
  if (smtp::HasLineBreak(text)) {
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
  if (Command(smtp::EncodeBase64(UserName)) != 334) return false;
  return Command(smtp::EncodeBase64(Password)) == 235;
}

bool TSmtpClient::AuthCram() {
  if (Command("AUTH CRAM-MD5") != 334) return false;
  const std::string challenge = ResultString.size() > 4 ? ResultString.substr(4) : std::string();
  return Command(smtp::CramMd5Response(UserName, Password, challenge)) == 235;
}

std::string TSmtpClient::FindCap(const std::string& name) const {
  return smtp::FindCapability(ESMTPcap, name);
}

bool TSmtpClient::Login() {
  ESMTP = true;
  AuthDone = false;
  ESMTPcap.clear();
  ESMTPSize = false;
  MaxSize = 0;
  if (!Connect()) return false;
  if (ReadResult() != 220) return false;
  if (!Ehlo()) {
    ESMTP = false;
    if (!Helo()) return false;
  }
  if (!ESMTP) return true;

  ESMTPcap = smtp::CapabilitiesOf(FullResult);
  if (!FullSSL && AutoTLS && !FindCap("STARTTLS").empty()) {
    if (!StartTLS()) return false;
    Ehlo();
    ESMTPcap = smtp::CapabilitiesOf(FullResult);
  }
  if (!UserName.empty() || !Password.empty()) {
    std::string auth = FindCap("AUTH ");
    if (auth.empty()) auth = FindCap("AUTH=");
    if (!auth.empty()) {
      for (char& c : auth) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (auth.find("CRAM-MD5") != std::string::npos) AuthDone = AuthCram();
      if (!AuthDone && auth.find("LOGIN") != std::string::npos) AuthDone = AuthLogin();
    }
  }
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
  return ReadResult() == 250;
}

bool TSmtpClient::Logout() {
  const bool ok = Command("QUIT") == 221;
  Sock.CloseSocket();
  return ok;
}
