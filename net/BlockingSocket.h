#pragma once
#include <chrono>
#include <cstddef>
#include <string>

#include "net/SocketError.h"

class TWaitCancel;

// Defaults of the socket's limits and waits.
constexpr int kSendMaxChunk = 65536;          // largest single send
constexpr int kNonblockSendTimeoutMs = 15000; // wait for a full send buffer to drain
constexpr int kConnectTimeoutMs = 30000;      // name lookup and connect together
constexpr int kMaxLineLength = 1 << 20;       // far above any real reply line
constexpr int kMaxPacketBytes = 65536;        // largest single read
constexpr int kCloseDrainWaitMs = 100;        // wait for the peer's last bytes at close
constexpr int kCloseDrainMaxMs = 1000;        // a peer dripping bytes after the end cannot hold the close
constexpr size_t kCloseDrainMaxBytes = 1 << 20;

enum TSocketFamily { SF_Any, SF_IP4, SF_IP6 };

// A TCP client socket used as if blocking: every operation waits for its
// result, records failures in LastError and never throws. Besides each
// operation's own time-out, an optional deadline bounds every wait of a whole
// exchange: name lookup, connect, handshake, sends, reads and the close.
class TBlockingSocket {
public:
  using Clock = std::chrono::steady_clock;

  TBlockingSocket();
  virtual ~TBlockingSocket();
  TBlockingSocket(const TBlockingSocket&) = delete;
  TBlockingSocket& operator=(const TBlockingSocket&) = delete;

  // Accept CR LF, LF CR, CR or LF as a line end.
  bool ConvertLineEnd = false;
  // The read time-out applies to each wait for data, not to the whole line.
  bool InterPacketTimeout = true;
  // Longest line accepted; 0 lifts the limit.
  int MaxLineLength = kMaxLineLength;
  int SendMaxChunk = kSendMaxChunk;
  int NonblockSendTimeout = kNonblockSendTimeoutMs;
  int ConnectTimeout = kConnectTimeoutMs;
  bool PreferIP4 = true;
  TSocketFamily Family = SF_Any;

  // Every later wait ends by this time; past it, operations fail with 10060.
  void SetDeadline(Clock::time_point deadline) { deadline_ = deadline; }
  void ClearDeadline() { deadline_ = Clock::time_point::max(); }
  Clock::time_point Deadline() const { return deadline_; }
  // timeoutMs cut down to what is left before the deadline (never below 0).
  int WithinDeadline(int timeoutMs) const;
  // Every later wait also ends, with 10004, once cancel is cancelled (not
  // owned; nullptr: none).
  void SetCancel(const TWaitCancel* cancel) { cancel_ = cancel; }

  int Socket() const { return fd_; }
  // The host name given to the last Connect, as the TLS layer checks it.
  const std::string& PeerName() const { return peerName_; }
  int LastError() const { return lastError_; }
  std::string LastErrorDesc() const { return SocketErrorText(lastError_); }

  // Binds to a local address; nothing to do for any address and any port.
  void Bind(const std::string& ip, const std::string& port);
  // Resolves host and port, creates the socket and connects.
  void Connect(const std::string& host, const std::string& port);
  void SendString(const std::string& data);
  // One chunk of received data; empty on error.
  std::string RecvPacket(int timeoutMs);
  // Up to len raw bytes into data, waiting up to timeoutMs for the first;
  // 0 with the error set on a time-out, the peer's close or a failure.
  size_t RecvSome(char* data, size_t len, int timeoutMs);
  std::string RecvTerminated(int timeoutMs, const std::string& terminator);
  // A CR LF-terminated line without its end.
  std::string RecvString(int timeoutMs);
  // Bytes readable without waiting.
  virtual int WaitingData();
  bool CanRead(int timeoutMs);
  // Orderly close; the handle becomes -1.
  virtual void CloseSocket();
  // Closes at once, reading nothing more: for a connection out of step.
  virtual void AbortSocket();
  // The local host name, as the socket layer reports it.
  static std::string LocalName();

  // Waits for events on fd: 1 ready, 0 timed out, -1 failed (errno set).
  static int WaitFor(int fd, short events, int timeoutMs, short* revents = nullptr);
  // The same on this socket, never past the deadline.
  int WaitReady(short events, int timeoutMs) const;
  // Waits until the socket takes data; false with the error set otherwise.
  bool WaitWritable(int timeoutMs);

protected:
  // Sends all of len bytes or records an error; false on error.
  virtual bool SendChunk(const char* data, size_t len);
  // Reads up to len bytes: >0 bytes read; 0 with no error when nothing
  // could be delivered yet; 0 with an error recorded on failure.
  virtual size_t RecvChunk(char* data, size_t len);

  void ResetError() { lastError_ = 0; }
  void SetError(int code) { lastError_ = code; }
  void ClearReceiveState();

  int fd_ = -1;

private:
  bool CreateSocket(int family);
  bool ConnectTo(const struct addrinfo& address, int timeoutMs);
  bool DrainBeforeClose();

  Clock::time_point deadline_ = Clock::time_point::max();
  const TWaitCancel* cancel_ = nullptr;
  std::string peerName_;
  int socketFamily_ = 0;
  int lastError_ = 0;
  std::string buffer_;
  bool lastCR_ = false;
  bool lastLF_ = false;
};
