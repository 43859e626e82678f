#include "capture/MjpegHttpReader.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for events on fd for at most timeoutMs; false on time-out or error.
bool WaitFor(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = poll(&p, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

// A non-blocking connection to one of the host's addresses before the deadline.
int Connect(const HttpUrl& url, SteadyClock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0 && MsLeft(deadline) > 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    bool ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    if (!ok && errno == EINPROGRESS && WaitFor(fd, POLLOUT, MsLeft(deadline))) {
      int error = 0;
      socklen_t len = sizeof error;
      ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
    if (!ok) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

bool SendAll(int fd, const std::string& bytes, SteadyClock::time_point deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFor(fd, POLLOUT, MsLeft(deadline))) return false;
    } else {
      return false;
    }
  }
  return true;
}
} // namespace

MjpegHttpReader::OpenResult MjpegHttpReader::Open(const std::string& url, uint32_t openTimeoutMs,
                                                  uint32_t readTimeoutMs) {
  Close();
  HttpUrl address;
  if (!ParseHttpUrl(url, address)) return OpenResult::NotMjpeg;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(openTimeoutMs);
  fd_ = Connect(address, deadline);
  if (fd_ < 0) return OpenResult::Failed;
  readTimeoutMs_ = readTimeoutMs;
  if (!readBuffer_) readBuffer_.reset(new char[kStreamReadBytes]);
  if (!SendAll(fd_, BuildStreamRequest(address), deadline)) {
    Close();
    return OpenResult::Failed;
  }

  // The response head, bounded in size and in time.
  std::string head;
  size_t headEnd = std::string::npos;
  while ((headEnd = FindHeadEnd(head)) == std::string::npos) {
    if (head.size() > kMaxHttpHeadBytes || !WaitFor(fd_, POLLIN, MsLeft(deadline))) {
      Close();
      return OpenResult::Failed;
    }
    const ssize_t n = recv(fd_, readBuffer_.get(), kStreamReadBytes, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      Close();
      return OpenResult::Failed;
    }
    head.append(readBuffer_.get(), static_cast<size_t>(n));
  }
  HttpResponseHead response;
  if (headEnd > kMaxHttpHeadBytes || !ParseHttpResponseHead(head.substr(0, headEnd), response) ||
      response.status != 200) {
    Close();
    // A redirect or a head that is not HTTP's is left to the general reader.
    const bool elsewhere = response.status == 0 || (response.status >= 300 && response.status < 400);
    return elsewhere ? OpenResult::NotMjpeg : OpenResult::Failed;
  }
  chunked_ = response.chunked;
  chunks_ = ChunkedDecoder{};
  std::string body;
  if (!Dechunk(head.data() + headEnd, head.size() - headEnd, body)) {
    Close();
    return OpenResult::Failed;
  }
  std::string boundary = MultipartBoundary(response.contentType);
  if (boundary.empty()) {
    // Mislabelled MJPEG still opens with its boundary; anything else, or
    // silence, is left to the general reader.
    while (!SniffBoundary(body, boundary)) {
      if (!WaitFor(fd_, POLLIN, MsLeft(deadline))) break;
      const ssize_t n = recv(fd_, readBuffer_.get(), kStreamReadBytes, 0);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0 || !Dechunk(readBuffer_.get(), static_cast<size_t>(n), body)) break;
    }
    if (boundary.empty()) {
      Close();
      return OpenResult::NotMjpeg;
    }
  }
  parts_ = std::make_unique<MultipartSplitter>(boundary);
  parts_->Append(body.data(), body.size());
  return OpenResult::Opened;
}

bool MjpegHttpReader::Dechunk(const char* data, size_t size, std::string& out) {
  if (!chunked_) {
    out.append(data, size);
    return true;
  }
  return chunks_.Feed(data, size, out) == ChunkedDecoder::State::Ok;
}

bool MjpegHttpReader::Feed(const char* data, size_t size) {
  payload_.clear();
  const bool ok = Dechunk(data, size, payload_);
  parts_->Append(payload_.data(), payload_.size());
  return ok;
}

bool MjpegHttpReader::ReceiveMore(int timeoutMs) {
  for (;;) {
    if (!WaitFor(fd_, POLLIN, timeoutMs)) return false;
    const ssize_t n = recv(fd_, readBuffer_.get(), kStreamReadBytes, 0);
    if (n > 0) return Feed(readBuffer_.get(), static_cast<size_t>(n));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    return false;
  }
}

MjpegHttpReader::ReadResult MjpegHttpReader::Read(cv::Mat& frame) {
  if (fd_ < 0) return ReadResult::Failed;
  std::string_view body;
  for (;;) {
    const MultipartSplitter::Next next = parts_->NextPart(body);
    if (next == MultipartSplitter::Next::Part) break;
    if (next == MultipartSplitter::Next::Error ||
        !ReceiveMore(static_cast<int>(readTimeoutMs_))) {
      Close();
      return ReadResult::Failed;
    }
  }
  const bool ok = decoder_.Decode(reinterpret_cast<const uint8_t*>(body.data()), body.size(), frame);
  return ok ? ReadResult::Frame : ReadResult::Skipped;
}

void MjpegHttpReader::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  parts_.reset();
  payload_.clear();
}
