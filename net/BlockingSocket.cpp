#include "net/BlockingSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "net/LineEnd.h"
#include "net/NameLookup.h"
#include "net/WaitCancel.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

int ElapsedMs(SteadyClock::time_point since) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - since).count());
}

int FamilyFor(TSocketFamily family) {
  switch (family) {
    case SF_IP4: return AF_INET;
    case SF_IP6: return AF_INET6;
    default: return AF_UNSPEC;
  }
}

struct AddrInfoList {
  addrinfo* head = nullptr;
  ~AddrInfoList() {
    if (head) freeaddrinfo(head);
  }
};

// Preferred addresses first, the rest after them, each group in the
// resolver's order.
std::vector<const addrinfo*> InConnectOrder(const addrinfo* head, int preferredFamily) {
  std::vector<const addrinfo*> order;
  for (const addrinfo* a = head; a; a = a->ai_next)
    if (a->ai_family == preferredFamily) order.push_back(a);
  for (const addrinfo* a = head; a; a = a->ai_next)
    if (a->ai_family != preferredFamily) order.push_back(a);
  return order;
}

} // namespace

TBlockingSocket::TBlockingSocket() = default;

TBlockingSocket::~TBlockingSocket() { TBlockingSocket::CloseSocket(); }

int TBlockingSocket::WaitFor(int fd, short events, int timeoutMs, short* revents) {
  if (timeoutMs < 0) timeoutMs = 0;
  const auto start = SteadyClock::now();
  for (;;) {
    pollfd p{fd, events, 0};
    const int remaining = std::max(0, timeoutMs - ElapsedMs(start));
    const int r = ::poll(&p, 1, remaining);
    if (r < 0 && errno == EINTR) continue;
    if (revents) *revents = p.revents;
    return r < 0 ? -1 : (r == 0 ? 0 : 1);
  }
}

int TBlockingSocket::WithinDeadline(int timeoutMs) const {
  if (timeoutMs < 0) timeoutMs = 0;
  if (deadline_ == Clock::time_point::max()) return timeoutMs;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<long long>(left, timeoutMs));
}

int TBlockingSocket::WaitReady(short events, int timeoutMs) const {
  const int cancelFd = cancel_ ? cancel_->Fd() : -1;
  if (cancelFd < 0) return WaitFor(fd_, events, WithinDeadline(timeoutMs));
  const int waitMs = WithinDeadline(timeoutMs);
  const auto start = SteadyClock::now();
  for (;;) {
    pollfd p[2] = {{fd_, events, 0}, {cancelFd, POLLIN, 0}};
    const int r = ::poll(p, 2, std::max(0, waitMs - ElapsedMs(start)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (p[1].revents != 0) {
      errno = EINTR;  // reported as 10004, an interrupted call
      return -1;
    }
    return r == 0 ? 0 : 1;
  }
}

bool TBlockingSocket::WaitWritable(int timeoutMs) {
  const int ready = WaitReady(POLLOUT, timeoutMs);
  if (ready == 0) SetError(kSockErrTimedOut);
  if (ready < 0) SetError(SocketErrorFromErrno(errno));
  return ready > 0;
}

bool TBlockingSocket::CreateSocket(int family) {
  fd_ = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    SetError(SocketErrorFromErrno(errno));
    return false;
  }
  socketFamily_ = family;
  return true;
}

void TBlockingSocket::ClearReceiveState() {
  buffer_.clear();
  lastCR_ = false;
  lastLF_ = false;
}

void TBlockingSocket::Bind(const std::string& ip, const std::string& port) {
  ResetError();
  const bool anyAddress = ip.empty() || ip == "0.0.0.0";
  const bool anyPort = port.empty() || port == "0";
  if (fd_ < 0 && Family == SF_Any && anyAddress && anyPort) return;

  addrinfo hints{};
  hints.ai_family = fd_ >= 0 ? socketFamily_ : FamilyFor(Family);
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  AddrInfoList list;
  const int rc = ::getaddrinfo(anyAddress ? nullptr : ip.c_str(), anyPort ? "0" : port.c_str(),
                               &hints, &list.head);
  if (rc != 0 || !list.head) {
    SetError(SocketErrorFromResolver(rc ? rc : EAI_NONAME, errno));
    return;
  }
  if (fd_ < 0 && !CreateSocket(list.head->ai_family)) return;
  if (::bind(fd_, list.head->ai_addr, list.head->ai_addrlen) != 0)
    SetError(SocketErrorFromErrno(errno));
}

void TBlockingSocket::Connect(const std::string& host, const std::string& port) {
  ResetError();
  peerName_ = host;
  const auto start = SteadyClock::now();
  auto timeLeft = [&] { return WithinDeadline(ConnectTimeout - ElapsedMs(start)); };
  addrinfo hints{};
  hints.ai_family = fd_ >= 0 ? socketFamily_ : FamilyFor(Family);
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  TAddressList list;
  int rc = LookupAddresses(host, port, hints, timeLeft(), list, cancel_);
  if (rc == kSockErrHostNotFound || rc == kSockErrAddressFamily || rc == kSockErrNoData) {
    // Loopback-only machines have no configured address of some family.
    hints.ai_flags = 0;
    rc = LookupAddresses(host, port, hints, timeLeft(), list, cancel_);
  }
  if (rc != 0) {
    SetError(rc);
    return;
  }
  const int preferred = hints.ai_family == AF_UNSPEC && PreferIP4 ? AF_INET : hints.ai_family;
  ClearReceiveState();
  // Each address in turn, all within the one connect time-out: a name with
  // an address that does not answer still reaches the one that does.
  for (const addrinfo* a : InConnectOrder(list.First(), preferred)) {
    if (timeLeft() <= 0) {
      SetError(kSockErrTimedOut);
      return;
    }
    ResetError();
    const bool ownSocket = fd_ < 0;
    if (ownSocket && !CreateSocket(a->ai_family)) return;
    if (ConnectTo(*a, timeLeft())) return;
    if (!ownSocket || LastError() == kSockErrTimedOut) return;
    ::close(fd_);
    fd_ = -1;
  }
}

bool TBlockingSocket::ConnectTo(const addrinfo& address, int timeoutMs) {
  if (::connect(fd_, address.ai_addr, address.ai_addrlen) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) {
    SetError(SocketErrorFromErrno(errno));
    return false;
  }
  if (!WaitWritable(timeoutMs)) return false;
  int soError = 0;
  socklen_t len = sizeof soError;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
  if (soError != 0) SetError(SocketErrorFromErrno(soError));
  return soError == 0;
}

bool TBlockingSocket::SendChunk(const char* data, size_t len) {
  while (len > 0) {
    const ssize_t sent = ::send(fd_, data, len, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      len -= static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitWritable(NonblockSendTimeout)) return false;
      continue;
    }
    SetError(sent < 0 ? SocketErrorFromErrno(errno) : kSockErrConnReset);
    return false;
  }
  return true;
}

void TBlockingSocket::SendString(const std::string& data) {
  ResetError();
  if (fd_ < 0) {
    SetError(kSockErrNotConnected);
    return;
  }
  if (deadline_ != Clock::time_point::max() && Clock::now() >= deadline_) {
    SetError(kSockErrTimedOut);
    return;
  }
  const size_t chunk = static_cast<size_t>(SendMaxChunk > 0 ? SendMaxChunk : kSendMaxChunk);
  for (size_t off = 0; off < data.size(); off += chunk) {
    if (!SendChunk(data.data() + off, std::min(chunk, data.size() - off))) return;
  }
}

size_t TBlockingSocket::RecvChunk(char* data, size_t len) {
  for (;;) {
    const ssize_t got = ::recv(fd_, data, len, 0);
    if (got > 0) return static_cast<size_t>(got);
    if (got == 0) {
      SetError(kSockErrConnReset);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    SetError(SocketErrorFromErrno(errno));
    return 0;
  }
}

int TBlockingSocket::WaitingData() {
  if (fd_ < 0) return 0;
  int count = 0;
  if (::ioctl(fd_, FIONREAD, &count) != 0) return 0;
  return std::max(0, count);
}

bool TBlockingSocket::CanRead(int timeoutMs) {
  if (fd_ < 0) {
    SetError(kSockErrNotConnected);
    return false;
  }
  const int ready = WaitReady(POLLIN, timeoutMs);
  if (ready < 0) SetError(SocketErrorFromErrno(errno));
  return ready == 1;
}

std::string TBlockingSocket::RecvPacket(int timeoutMs) {
  ResetError();
  std::string data;
  if (!buffer_.empty()) {
    data.swap(buffer_);
  } else {
    if (fd_ < 0) {
      SetError(kSockErrNotConnected);
      return data;
    }
    int waiting = WaitingData();
    if (waiting <= 0) {
      if (!CanRead(timeoutMs)) {
        if (LastError() == 0) SetError(kSockErrTimedOut);
        return data;
      }
      waiting = WaitingData();
      if (waiting <= 0) {
        // Readable with nothing to read: the peer has gone.
        SetError(kSockErrConnReset);
        return data;
      }
    }
    data.resize(static_cast<size_t>(std::min(waiting, kMaxPacketBytes)));
    data.resize(RecvChunk(&data[0], data.size()));
    if (LastError() != 0) return std::string();
  }
  if (ConvertLineEnd) JoinSplitLineEnd(data, lastCR_, lastLF_);
  return data;
}

size_t TBlockingSocket::RecvSome(char* data, size_t len, int timeoutMs) {
  ResetError();
  if (!buffer_.empty()) {
    // What a line read took beyond its line comes first.
    const size_t n = std::min(len, buffer_.size());
    std::copy_n(buffer_.data(), n, data);
    buffer_.erase(0, n);
    return n;
  }
  if (fd_ < 0) {
    SetError(kSockErrNotConnected);
    return 0;
  }
  const auto start = SteadyClock::now();
  for (;;) {
    // Reading first takes what is already there without a wait.
    const size_t got = RecvChunk(data, len);
    if (got > 0 || LastError() != 0) return got;
    if (!CanRead(timeoutMs - ElapsedMs(start))) {
      if (LastError() == 0) SetError(kSockErrTimedOut);
      return 0;
    }
  }
}

std::string TBlockingSocket::RecvTerminated(int timeoutMs, const std::string& terminator) {
  ResetError();
  if (terminator.empty()) return RecvPacket(timeoutMs);
  const bool anyLineEnd = ConvertLineEnd && terminator == "\r\n";
  const size_t limit = MaxLineLength > 0 ? static_cast<size_t>(MaxLineLength) : 0;
  const auto start = SteadyClock::now();
  std::string collected;
  size_t scanFrom = 0;
  for (;;) {
    int wait = timeoutMs;
    if (!InterPacketTimeout) {
      wait = timeoutMs - ElapsedMs(start);
      if (wait <= 0) {
        SetError(kSockErrTimedOut);
        break;
      }
    }
    std::string data = RecvPacket(wait);
    if (LastError() != 0) break;
    collected += data;

    size_t pos = std::string::npos;
    size_t endLength = 0;
    if (anyLineEnd) {
      TLineEnd end;
      if (FindLineEnd(collected, end, scanFrom)) {
        pos = end.Pos;
        endLength = end.Length;
        lastCR_ = end.LoneCR;
        lastLF_ = end.LoneLF;
      }
      scanFrom = collected.size();
    } else {
      pos = collected.find(terminator, scanFrom);
      endLength = terminator.size();
      scanFrom = collected.size() >= terminator.size() ? collected.size() - terminator.size() + 1 : 0;
    }

    if (pos != std::string::npos) {
      buffer_ = collected.substr(pos + endLength);
      if (limit && pos > limit) {
        SetError(kSockErrNoBuffers);
        return std::string();
      }
      collected.resize(pos);
      return collected;
    }
    // A line of the full length may still wait for the rest of its end.
    const size_t endStarted = anyLineEnd ? 0 : terminator.size() - 1;
    if (limit && collected.size() > limit + endStarted) {
      // Without a line end in sight the text is worthless; drop it so that
      // memory stays bounded.
      SetError(kSockErrNoBuffers);
      return std::string();
    }
  }
  buffer_ = std::move(collected);
  return std::string();
}

std::string TBlockingSocket::RecvString(int timeoutMs) {
  return RecvTerminated(timeoutMs, "\r\n");
}

bool TBlockingSocket::DrainBeforeClose() {
  char scratch[4096];
  size_t total = 0;
  const auto start = SteadyClock::now();
  while (total < kCloseDrainMaxBytes) {
    const int left = WithinDeadline(kCloseDrainMaxMs - ElapsedMs(start));
    if (left <= 0) return false;
    if (WaitFor(fd_, POLLIN, std::min(kCloseDrainWaitMs, left)) != 1) return false;
    const ssize_t got = ::recv(fd_, scratch, sizeof scratch, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0;
    total += static_cast<size_t>(got);
  }
  return false;
}

void TBlockingSocket::CloseSocket() {
  if (fd_ >= 0) {
    if (LastError() == 0) {
      ::shutdown(fd_, SHUT_WR);
      DrainBeforeClose();
    }
    ::close(fd_);
    fd_ = -1;
  }
  ClearReceiveState();
}

void TBlockingSocket::AbortSocket() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ClearReceiveState();
}

std::string TBlockingSocket::LocalName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}
