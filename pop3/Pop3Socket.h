#pragma once
#include <chrono>
#include <cstddef>
#include <string>

// The blocking TCP connection under the POP3 client. Every wait ends at a
// deadline; failures are thrown as EPop3SocketError with WinSock-style
// numbers (EPop3Timeout when a deadline passes). Sends never raise SIGPIPE.
class TPop3Socket {
public:
  using Deadline = std::chrono::steady_clock::time_point;

  TPop3Socket() = default;
  ~TPop3Socket();
  TPop3Socket(const TPop3Socket&) = delete;
  TPop3Socket& operator=(const TPop3Socket&) = delete;

  bool IsOpen() const { return fd_ >= 0; }

  // Resolves `host` ("LOCALHOST" in any case is 127.0.0.1, a dotted IPv4
  // address is taken as it stands) and connects, trying each address the
  // name gives until one answers, all within `timeoutMs`.
  void Open(const std::string& host, int port, int timeoutMs);
  // Sends every byte of `bytes`.
  void SendAll(const std::string& bytes, Deadline deadline);
  // Reads what is there, at most `max` bytes, waiting for some to arrive.
  // 0 means the peer closed the connection.
  size_t Receive(char* buffer, size_t max, Deadline deadline);
  // Shuts down sending and closes; input still queued is read away first so
  // the peer gets an orderly close, not a reset.
  void Close();
  // Closes at once.
  void Abandon();

private:
  int fd_ = -1;
};

// Deadline `ms` milliseconds from now.
TPop3Socket::Deadline DeadlineAfter(int ms);

