#include "pop3/Pop3Socket.h"

#include "mail/SocketError.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "pop3/Pop3Error.h"

namespace {


[[noreturn]] void ThrowErrno(int err) {
  if (err == ETIMEDOUT) throw EPop3Timeout(kSockErrTimedOut, std::strerror(ETIMEDOUT));
  throw EPop3SocketError(SocketErrorFromErrno(err), std::strerror(err));
}

[[noreturn]] void ThrowTimeout() { ThrowErrno(ETIMEDOUT); }

// Milliseconds left until `deadline`, rounded up, for poll().
int RemainingMs(TPop3Socket::Deadline deadline) {
  auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// Waits for `events` on `fd`; throws on timeout.
void WaitFor(int fd, short events, TPop3Socket::Deadline deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready > 0) return;
    if (ready == 0) ThrowTimeout();
    if (errno != EINTR) ThrowErrno(errno);
  }
}

// Connects a non-blocking socket to one address; returns the open socket or
// throws the failure (the socket is closed then).
int ConnectOne(const sockaddr* addr, socklen_t len, TPop3Socket::Deadline deadline) {
  int fd = socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowErrno(errno);
  try {
    if (connect(fd, addr, len) != 0) {
      if (errno != EINPROGRESS && errno != EINTR) ThrowErrno(errno);
      WaitFor(fd, POLLOUT, deadline);
      int err = 0;
      socklen_t errLen = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) ThrowErrno(errno);
      if (err != 0) ThrowErrno(err);
    }
  } catch (...) {
    close(fd);
    throw;
  }
  return fd;
}

}  // namespace

TPop3Socket::Deadline DeadlineAfter(int ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

TPop3Socket::~TPop3Socket() { Abandon(); }

void TPop3Socket::Open(const std::string& host, int port, int timeoutMs) {
  Abandon();
  Deadline deadline = DeadlineAfter(timeoutMs);
  if (port < 0 || port > 65535) ThrowErrno(EINVAL);

  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(static_cast<uint16_t>(port));
  std::string name = strcasecmp(host.c_str(), "LOCALHOST") == 0 ? "127.0.0.1" : host;
  if (inet_pton(AF_INET, name.c_str(), &v4.sin_addr) == 1) {
    fd_ = ConnectOne(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, deadline);
    return;
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    int code = SocketErrorFromResolver(rc, errno);
    std::string text = rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc);
    throw EPop3SocketError(code, text);
  }
  try {
    for (addrinfo* a = found; a; a = a->ai_next) {
      try {
        fd_ = ConnectOne(a->ai_addr, a->ai_addrlen, deadline);
        break;
      } catch (const EPop3Timeout&) {
        throw;
      } catch (const EPop3SocketError&) {
        if (!a->ai_next) throw;
      }
    }
  } catch (...) {
    freeaddrinfo(found);
    throw;
  }
  freeaddrinfo(found);
}

void TPop3Socket::SendAll(const std::string& bytes, Deadline deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitFor(fd_, POLLOUT, deadline);
    } else if (errno != EINTR) {
      ThrowErrno(errno);
    }
  }
}

size_t TPop3Socket::Receive(char* buffer, size_t max, Deadline deadline) {
  for (;;) {
    ssize_t n = recv(fd_, buffer, max, 0);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      WaitFor(fd_, POLLIN, deadline);
    } else if (errno != EINTR) {
      ThrowErrno(errno);
    }
  }
}

void TPop3Socket::Close() {
  if (fd_ < 0) return;
  shutdown(fd_, SHUT_WR);
  char sink[4096];
  while (recv(fd_, sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
  Abandon();
}

void TPop3Socket::Abandon() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}
