#pragma once
#include <string>
#include <vector>

#include "mail/NetClient.h"
#include "net/TcpSocket.h"

constexpr int kSmtpTimeoutMs = 60000;        // wait for each piece of a reply
constexpr int kSmtpSessionTimeoutMs = 60000; // one whole session, from the lookup to the close
constexpr char kSmtpPort[] = "25";
constexpr size_t kMaxReplyLines = 1000;      // far above any real multi-line reply
constexpr size_t kMaxReplyBytes = 64 * 1024; // one whole reply, all its lines together

// Where Login stopped, so that callers can say what to check.
enum class TSmtpLoginFailure {
  None,
  Connect,         // lookup, connect or implicit TLS: see Sock.LastError()
  Greeting,        // no 220 greeting
  Hello,           // EHLO and HELO refused
  StartTlsMissing, // encryption chosen, the server does not offer STARTTLS
  StartTls,        // STARTTLS refused or its handshake failed
  AuthRefused,     // the server refused the user name or password
  AuthNoMechanism, // credentials set, no mechanism we know offered
};

// The SMTP client: login with EHLO or HELO, STARTTLS or TLS from the first
// byte, AUTH CRAM-MD5, LOGIN or PLAIN, then the envelope and the message.
// Every operation answers with a boolean and leaves the last reply in
// ResultCode, ResultString, FullResult and the enhanced code; nothing throws.
// Login starts one deadline (SessionTimeout) that every later wait of the
// session, the QUIT and the close included, keeps to.
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
  bool AutoTLS = false;  // STARTTLS before anything else; a server without it ends the session
  bool FullSSL = false;  // TLS from the first byte
  int SessionTimeout = kSmtpSessionTimeoutMs;
  TSmtpLoginFailure LoginFailure = TSmtpLoginFailure::None;

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
  bool AuthPlain();
  int ReadResult();
  std::string FindCap(const std::string& name) const;

private:
  // Sends text and CR LF in one piece, then reads the reply. Text that holds
  // a line break of its own is refused before anything is sent.
  int Command(const std::string& text);
  void ClearResult();
  bool Authenticate();
  bool FailLogin(TSmtpLoginFailure why);
};
