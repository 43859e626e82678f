#pragma once
#include <chrono>
#include <cstddef>
#include <string>

#include "net/TcpSocket.h"

// The blocking connection under the POP3 client, on the program's one
// transport. Every wait ends at a deadline; failures are thrown as
// EPop3SocketError with WinSock-style numbers (EPop3Timeout when a deadline
// passes, EPop3CertificateNotTrusted for a refused certificate). Sends never
// raise SIGPIPE.
class TPop3Socket {
public:
  using Deadline = std::chrono::steady_clock::time_point;

  TPop3Socket() = default;
  ~TPop3Socket();
  TPop3Socket(const TPop3Socket&) = delete;
  TPop3Socket& operator=(const TPop3Socket&) = delete;

  bool IsOpen() const { return socket_.Socket() >= 0; }
  // Every later wait ends with 10004 once `cancel` is cancelled (not owned).
  void SetCancel(const TWaitCancel* cancel) { socket_.SetCancel(cancel); }

  // Resolves `host` ("LOCALHOST" in any case is 127.0.0.1) and connects,
  // trying each address the name gives until one answers, all within
  // `timeoutMs` and `deadline`.
  void Open(const std::string& host, int port, int timeoutMs,
            Deadline deadline = Deadline::max());
  // TLS handshake on the open connection; verify checks the certificate
  // against the system's trust store and the host name given to Open.
  void StartTls(bool verify, Deadline deadline);
  bool TlsOn() const { return socket_.SSL().SSLEnabled(); }
  // Sends every byte of `bytes`.
  void SendAll(const std::string& bytes, Deadline deadline);
  // Reads what is there, at most `max` bytes, waiting for some to arrive.
  // 0 means the peer closed the connection.
  size_t Receive(char* buffer, size_t max, Deadline deadline);
  // Shuts down sending and closes; what still arrives is read away first
  // (within the deadline) so the peer gets an orderly close, not a reset.
  void Close(Deadline deadline = Deadline::max());
  // Closes at once.
  void Abandon();

private:
  [[noreturn]] void Throw(int code) const;

  TTcpSocket socket_;
  std::string pending_;  // received beyond what the last Receive could take
};

// Deadline `ms` milliseconds from now.
TPop3Socket::Deadline DeadlineAfter(int ms);
