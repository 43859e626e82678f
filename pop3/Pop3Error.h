#pragma once
#include <stdexcept>
#include <string>

// The POP3 client reports every failure by throwing one of these. Callers
// that treat all failures alike catch EPop3Error.
class EPop3Error : public std::runtime_error {
public:
  explicit EPop3Error(const std::string& text) : std::runtime_error(text) {}
};

// Connect found a socket still allocated; the connection is left as it was.
class EPop3AlreadyConnected : public EPop3Error {
public:
  EPop3AlreadyConnected() : EPop3Error("Already connected.") {}
};

// The peer closed the connection, or there is no socket to read or write.
class EPop3ConnectionClosed : public EPop3Error {
public:
  EPop3ConnectionClosed() : EPop3Error("Connection Closed Gracefully.") {}
};

// The socket layer failed: a WinSock-style number and the system's own
// description of the failure.
class EPop3SocketError : public EPop3Error {
public:
  EPop3SocketError(int code, const std::string& description)
      : EPop3Error("Socket Error # " + std::to_string(code) + "\r\n" + description),
        code_(code) {}
  int Code() const { return code_; }

private:
  int code_;
};

// A connect or a reply that took longer than the client allows.
class EPop3Timeout : public EPop3SocketError {
public:
  using EPop3SocketError::EPop3SocketError;
};

// The server answered with a status the command does not accept; the text
// is the reply's last line.
class EPop3ReplyError : public EPop3Error {
public:
  EPop3ReplyError(int status, const std::string& line) : EPop3Error(line), status_(status) {}
  int Status() const { return status_; }

private:
  int status_;
};

// A number was expected in a reply and something else stood there.
class EPop3ConvertError : public EPop3Error {
public:
  explicit EPop3ConvertError(const std::string& text)
      : EPop3Error("'" + text + "' is not a valid integer value") {}
};

// The server sent more than a reply may hold (a line without end, endless
// continuation lines); the connection is dropped rather than the memory.
class EPop3ReplyTooLong : public EPop3Error {
public:
  EPop3ReplyTooLong()
      : EPop3Error("POP3サーバーの応答が長すぎるため接続を切りました。"
                   "サーバーの設定を確認してください。") {}
};

// A command would carry a CR or LF and so smuggle in a second command; it is
// never sent.
class EPop3LineBreakInCommand : public EPop3Error {
public:
  EPop3LineBreakInCommand()
      : EPop3Error("POP3のユーザー名またはパスワードに改行文字が含まれています。"
                   "設定を確認してください。") {}
};

// The server's certificate was not trusted (unknown issuer, expired, or
// issued for another name); nothing was sent to it.
class EPop3CertificateNotTrusted : public EPop3Error {
public:
  explicit EPop3CertificateNotTrusted(const std::string& detail)
      : EPop3Error("POP3サーバの証明書を信頼できませんでした。サーバ名を確認するか、"
                   "自己署名の証明書なら「証明書を検証しない」を選んでください。"),
        detail_(detail) {}
  // OpenSSL's own reason, for logs.
  const std::string& Detail() const { return detail_; }

private:
  std::string detail_;
};

// Encryption was chosen and the server does not offer STLS (or refused it);
// the session ended before the user name and password.
class EPop3StlsRefused : public EPop3Error {
public:
  explicit EPop3StlsRefused(const std::string& line)
      : EPop3Error("POP3サーバがTLS接続(STLS)に対応していません。接続方式を確認してください。(" +
                   line + ")") {}
};
