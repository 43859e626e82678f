#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int kSliceMs = 20;
constexpr int kScriptLimitMs = 10000;  // no step waits longer than this

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
} // namespace

ScriptedServer::ScriptedServer() {
  listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_, 4) != 0)
    throw std::runtime_error("scripted server: cannot listen");
  socklen_t len = sizeof addr;
  ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_ >= 0) ::close(listen_);
}

ScriptedServer& ScriptedServer::Send(std::string bytes) {
  steps_.push_back({Kind::Send, std::move(bytes), 0});
  return *this;
}
ScriptedServer& ScriptedServer::Pause(int ms) {
  steps_.push_back({Kind::Pause, {}, static_cast<size_t>(ms)});
  return *this;
}
ScriptedServer& ScriptedServer::ReadLine() {
  steps_.push_back({Kind::ReadLine, {}, 0});
  return *this;
}
ScriptedServer& ScriptedServer::ReadMessage() {
  steps_.push_back({Kind::ReadMessage, {}, 0});
  return *this;
}
ScriptedServer& ScriptedServer::Close() {
  steps_.push_back({Kind::Close, {}, 0});
  return *this;
}
ScriptedServer& ScriptedServer::Flood(size_t count) {
  steps_.push_back({Kind::Flood, {}, count});
  return *this;
}
ScriptedServer& ScriptedServer::Drip(std::string bytes, int everyMs) {
  steps_.push_back({Kind::Drip, std::move(bytes), static_cast<size_t>(everyMs)});
  return *this;
}
ScriptedServer& ScriptedServer::EveryClient() {
  everyClient_ = true;
  return *this;
}
ScriptedServer& ScriptedServer::StopReading() {
  steps_.push_back({Kind::StopReading, {}, 0});
  return *this;
}

void ScriptedServer::Start() { thread_ = std::thread([this] { Run(); }); }

std::string ScriptedServer::Received() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

bool ScriptedServer::ReadMore(int conn) {
  const int64_t deadline = NowMs() + kScriptLimitMs;
  while (!stop_ && NowMs() < deadline) {
    pollfd p{conn, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) <= 0) continue;
    char buffer[65536];
    const ssize_t got = ::recv(conn, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    received_.append(buffer, static_cast<size_t>(got));
    return true;
  }
  return false;
}

bool ScriptedServer::WaitForText(int conn, const std::string& text) {
  for (;;) {
    const size_t at = received_.find(text, consumed_);
    if (at != std::string::npos) {
      consumed_ = at + text.size();
      return true;
    }
    if (!ReadMore(conn)) return false;
  }
}

void ScriptedServer::Run() {
  do {
    int conn = -1;
    const int64_t deadline = NowMs() + kScriptLimitMs;
    while (!stop_ && NowMs() < deadline && conn < 0) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, kSliceMs) > 0) conn = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (conn < 0) return;
    ++clients_;
    consumed_ = received_.size();
    Play(conn);
  } while (everyClient_ && !stop_);
}

void ScriptedServer::Play(int conn) {
  const int64_t limit = NowMs() + kScriptLimitMs;
  bool reading = true;
  for (const Step& step : steps_) {
    if (stop_) break;
    switch (step.kind) {
      case Kind::Send:
        ::send(conn, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
        break;
      case Kind::Pause:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.count));
        break;
      case Kind::ReadLine:
        WaitForText(conn, "\n");
        break;
      case Kind::ReadMessage:
        WaitForText(conn, "\r\n.\r\n");
        break;
      case Kind::Close:
        ::close(conn);
        return;
      case Kind::Flood: {
        const std::string chunk(65536, 'x');
        size_t sent = 0;
        while (!stop_ && sent < step.count && NowMs() < limit) {
          const ssize_t n = ::send(conn, chunk.data(), std::min(chunk.size(), step.count - sent),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{conn, POLLOUT, 0};
            ::poll(&p, 1, kSliceMs);
            continue;
          }
          if (n <= 0) break;
          sent += static_cast<size_t>(n);
        }
        break;
      }
      case Kind::Drip:
        for (size_t i = 0; i < step.bytes.size() && !stop_ && NowMs() < limit; ++i) {
          if (::send(conn, &step.bytes[i], 1, MSG_NOSIGNAL) != 1) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(step.count));
        }
        break;
      case Kind::StopReading:
        reading = false;
        break;
    }
  }
  if (reading) {
    while (ReadMore(conn)) {
    }
  } else {
    while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
  }
  ::close(conn);
}
