#include "support/Pop3ScriptServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {
// What the client may still send after the script ended (say "Quit").
constexpr int kTrailingReadMs = 1000;
}  // namespace

void ScriptConnection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0) throw std::runtime_error("script server: send failed");
    sent += static_cast<size_t>(n);
  }
}

bool ScriptConnection::Fill(int timeoutMs) {
  if (closed_) return false;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  char chunk[4096];
  ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  received_.append(chunk, static_cast<size_t>(n));
  pending_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> ScriptConnection::ReadLine(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t lf = pending_.find('\n');
    if (lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      pending_.erase(0, lf + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Fill(static_cast<int>(left.count()))) return std::nullopt;
  }
}

bool ScriptConnection::WaitClosed(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!closed_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    Fill(static_cast<int>(left.count()));
  }
  return true;
}

void ScriptConnection::Close() { shutdown(fd_, SHUT_WR); }

void ScriptConnection::Reset() {
  linger hard{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  shutdown(fd_, SHUT_RD);
  closed_ = true;
}

Pop3ScriptServer::Pop3ScriptServer(Script script, int acceptWaitMs) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      listen(listenFd_, 4) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("script server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread(&Pop3ScriptServer::Run, this, std::move(script), acceptWaitMs);
}

Pop3ScriptServer::~Pop3ScriptServer() {
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
}

void Pop3ScriptServer::Join() {
  if (thread_.joinable()) thread_.join();
  if (error_) std::rethrow_exception(error_);
}

void Pop3ScriptServer::Run(Script script, int acceptWaitMs) {
  pollfd p{listenFd_, POLLIN, 0};
  if (poll(&p, 1, acceptWaitMs) <= 0) return;
  int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  accepted_ = true;
  ScriptConnection connection(fd, received_);
  try {
    script(connection);
    connection.WaitClosed(kTrailingReadMs);
  } catch (...) {
    error_ = std::current_exception();
  }
  close(fd);
}
