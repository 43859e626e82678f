#pragma once
#include <string>
#include <vector>

#include "mail/NetClient.h"
#include "mail/TcpSocket.h"

constexpr int kSmtpTimeoutMs = 60000;     // wait for each piece of a reply
constexpr char kSmtpPort[] = "25";
constexpr size_t kMaxReplyLines = 1000;   // far above any real multi-line reply

// The SMTP client: login with EHLO or HELO, STARTTLS or TLS from the first
// byte, AUTH CRAM-MD5 or LOGIN, then the envelope and the message. Every
// operation answers with a boolean and leaves the last reply in ResultCode,
// ResultString, FullResult and the enhanced code; nothing throws.
class TSmtpClient : public TNetClient {
public:
  TSmtpClient();
  ~TSmtpClient() override;

  TTcpSocket Sock;
  int ResultCode = 0;
  std::string ResultString;
  std::vector<std::string> FullResult;
  std::vector<std::string> ESMTPcap;
  bool ESMTP = true;
  bool AuthDone = false;
  bool ESMTPSize = false;
  int MaxSize = 0;
  int EnhCode1 = 0;
  int EnhCode2 = 0;
  int EnhCode3 = 0;
  std::string SystemName;
  bool AutoTLS = false;  // use STARTTLS when the server offers it
  bool FullSSL = false;  // TLS from the first byte

  bool Login();
  bool Logout();
  bool MailFrom(const std::string& address, int size);
  bool MailTo(const std::string& address);
  bool MailData(const std::vector<std::string>& lines);

  bool Connect();
  bool Ehlo();
  bool Helo();
  bool StartTLS();
  bool AuthLogin();
  bool AuthCram();
  int ReadResult();
  std::string FindCap(const std::string& name) const;

private:
  // Sends text and CR LF in one piece, then reads the reply. Text that holds
  // a line break of its own is refused before anything is sent.
  int Command(const std::string& text);
  void ClearResult();
};
