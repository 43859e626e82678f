#include "pop3/Pop3Socket.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "net/SocketError.h"
#include "pop3/Pop3Error.h"

TPop3Socket::Deadline DeadlineAfter(int ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

TPop3Socket::~TPop3Socket() { Abandon(); }

void TPop3Socket::Throw(int code) const {
  if (code == kSockErrTimedOut) throw EPop3Timeout(code, SocketErrorText(code));
  if (code == kSockErrTlsFailed) {
    if (socket_.SSL().CertRejected()) throw EPop3CertificateNotTrusted(socket_.SSL().LastErrorDesc());
    throw EPop3SocketError(code, socket_.SSL().LastErrorDesc());
  }
  throw EPop3SocketError(code, SocketErrorText(code));
}

void TPop3Socket::Open(const std::string& host, int port, int timeoutMs, Deadline deadline) {
  Abandon();
  if (port < 0 || port > 65535) Throw(kSockErrInvalidArgument);
  const std::string name = strcasecmp(host.c_str(), "LOCALHOST") == 0 ? "127.0.0.1" : host;
  socket_.SetDeadline(std::min(deadline, DeadlineAfter(timeoutMs)));
  socket_.ConnectTimeout = timeoutMs;
  socket_.Connect(name, std::to_string(port));
  if (socket_.LastError() != 0) {
    const int code = socket_.LastError();
    socket_.AbortSocket();
    Throw(code);
  }
}

void TPop3Socket::StartTls(bool verify, Deadline deadline) {
  socket_.SetDeadline(deadline);
  socket_.SSL().VerifyCert = verify;
  socket_.SSLDoConnect();
  if (socket_.LastError() != 0) Throw(socket_.LastError());
}

void TPop3Socket::SendAll(const std::string& bytes, Deadline deadline) {
  socket_.SetDeadline(deadline);
  socket_.SendString(bytes);
  if (socket_.LastError() != 0) Throw(socket_.LastError());
}

size_t TPop3Socket::Receive(char* buffer, size_t max, Deadline deadline) {
  socket_.SetDeadline(deadline);
  // A TLS record may arrive in pieces and yield no data yet: wait on.
  while (pending_.empty()) {
    pending_ = socket_.RecvPacket(socket_.WithinDeadline(INT32_MAX));
    // The transport reports a peer that has gone as 10054: for the
    // client that is the end of the connection, not a failure.
    if (socket_.LastError() == kSockErrConnReset) return 0;
    if (socket_.LastError() != 0) Throw(socket_.LastError());
  }
  const size_t n = std::min(max, pending_.size());
  std::memcpy(buffer, pending_.data(), n);
  pending_.erase(0, n);
  return n;
}

void TPop3Socket::Close(Deadline deadline) {
  pending_.clear();
  socket_.SetDeadline(deadline);
  socket_.CloseSocket();
}

void TPop3Socket::Abandon() {
  pending_.clear();
  socket_.AbortSocket();
}
