#pragma once
#include <initializer_list>
#include <string>
#include <vector>

#include "pop3/Pop3Reply.h"
#include "pop3/Pop3Socket.h"

// Longest wait for the TCP connect, and for each command's write and reply.
// Running out fails that step, so a silent server cannot hold the program.
constexpr int kPop3ConnectTimeoutMs = 30000;
constexpr int kPop3ReplyTimeoutMs = 30000;
// One whole session, from the lookup to the close, within this.
constexpr int kPop3SessionTimeoutMs = 30000;
// How the connection is protected: the receive tab's choice.
constexpr int kPop3ConnectPlain = 0;
constexpr int kPop3ConnectStls = 1;  // STLS after the greeting, required
constexpr int kPop3ConnectTls = 2;   // TLS from the first byte
// Most bytes one socket read takes.
constexpr size_t kReceiveChunkBytes = 32768;
constexpr int kDefaultPop3Port = 110;

// A blocking POP3 client: log in with USER and PASS, ask for the message
// count, delete messages by number, log out. Every failure is thrown as an
// EPop3Error (pop3/Pop3Error.h).
class TPop3Client {
public:
  std::string Host;
  int Port = kDefaultPop3Port;
  std::string UserId;
  std::string Password;
  // Tests shorten these; the defaults suit real servers.
  int ConnectTimeoutMs = kPop3ConnectTimeoutMs;
  int ReplyTimeoutMs = kPop3ReplyTimeoutMs;
  int SessionTimeoutMs = kPop3SessionTimeoutMs;
  int ConnectType = kPop3ConnectPlain;
  // Check the certificate (types 1 and 2) against the system's trust store
  // and the host name; off only when the user opted out.
  bool VerifyCert = true;
  // Ends every wait of the session at once when cancelled (not owned).
  const TWaitCancel* Cancel = nullptr;

  TPop3Client() = default;
  TPop3Client(const TPop3Client&) = delete;
  TPop3Client& operator=(const TPop3Client&) = delete;

  // Opens the connection (with TLS as ConnectType asks), reads the greeting
  // and logs in; the session's one deadline starts here. On any failure the
  // client is disconnected again ("Quit" sent where the line is still open)
  // before the error is thrown; the user name and password go out only on
  // the protection chosen.
  void Connect();
  int GetMessageCount();
  // Marks message `number` for deletion; the server removes it at "Quit".
  bool DeleteMessage(int number);
  // Reads message `number`'s header block with "TOP n 0", or with "RETR n"
  // where the server refuses TOP (the body is then read past, not kept).
  // At most `maxBytes` are kept: a longer header is TooLong, still read to
  // its end so that the session stays in step. Refused when both commands
  // were.
  enum class HeaderResult { Read, TooLong, Refused };
  HeaderResult ReadHeader(int number, size_t maxBytes, std::string& header);
  // The server's unique id of message `number` ("UIDL n"); empty when the
  // server offers none or answers with one that is not a valid id.
  std::string UniqueId(int number);
  // Sends "Quit", reads its answer when `readAnswer`, and closes. True only
  // when the server said +OK: only then are the deletions committed. A
  // failed write is thrown after the socket is closed; a missing or failed
  // answer is false. Ways out of a failure need no answer.
  bool Disconnect(bool readAnswer = true);
  // Releases the socket first if the peer has closed the connection.
  bool Connected();

  // Writes `text` as a line (unless empty) and reads the reply, which must
  // carry `expected` as status. Returns the status.
  int SendCommand(const std::string& text, int expected);
  // Reads one reply; an empty `allowed` accepts any status.
  int ReadReply(std::initializer_list<int> allowed);
  const TPop3Reply& LastReply() const { return reply_; }

private:
  int ReadReply(const std::vector<int>& allowed, TPop3Socket::Deadline deadline);
  std::string ReadLine(TPop3Socket::Deadline deadline);
  // The lines of a multi-line answer up to its "." line, dot-stuffing
  // undone; the header block kept in `header` as ReadHeader tells.
  HeaderResult ReadHeaderData(size_t maxBytes, std::string& header);
  void WriteLine(const std::string& text, TPop3Socket::Deadline deadline);
  void ReleaseSocket();
  // ms from now, but never past the session's deadline.
  TPop3Socket::Deadline Within(int ms) const;
  // Runs a socket call; a reset connection counts as closed by the peer and
  // an overdue one is dropped, since its late reply would answer the wrong
  // command.
  template <typename Call>
  auto Guarded(Call call) -> decltype(call());

  TPop3Socket socket_;
  bool peerClosed_ = false;
  std::string received_;  // bytes read but not yet taken as lines
  TPop3Reply reply_;
  TPop3Socket::Deadline sessionDeadline_ = TPop3Socket::Deadline::max();
};
