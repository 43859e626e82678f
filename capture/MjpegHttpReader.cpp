#include "capture/MjpegHttpReader.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "net/WaitCancel.h"

namespace {
// The open time-out as the socket layer takes its waits.
int AsWaitMs(uint32_t ms) { return static_cast<int>(std::min<uint32_t>(ms, INT_MAX)); }
} // namespace

void MjpegHttpReader::SetCancel(const TWaitCancel* cancel) {
  cancel_ = cancel;
  socket_.SetCancel(cancel);
}

MjpegHttpReader::OpenResult MjpegHttpReader::Open(const std::string& url, uint32_t openTimeoutMs,
                                                  uint32_t readTimeoutMs, uint32_t pictureTimeoutMs) {
  Close();
  HttpUrl address;
  if (!ParseHttpUrl(url, address)) return OpenResult::NotMjpeg;
  // One deadline over the whole open: lookup, connect, request and head.
  const int openWaitMs = AsWaitMs(openTimeoutMs);
  socket_.SetDeadline(TBlockingSocket::Clock::now() + std::chrono::milliseconds(openTimeoutMs));
  socket_.ConnectTimeout = openWaitMs;
  socket_.NonblockSendTimeout = openWaitMs;
  // A camera's addresses are tried in the order the system's resolver ranks them.
  socket_.PreferIP4 = false;
  socket_.Connect(address.host, address.port);
  if (socket_.LastError() != 0) {
    Close();
    return OpenResult::Failed;
  }
  readTimeoutMs_ = readTimeoutMs;
  pictureTimeoutMs_ = pictureTimeoutMs;
  pictureStarted_ = false;
  if (!readBuffer_) readBuffer_.reset(new char[kStreamReadBytes]);
  socket_.SendString(BuildStreamRequest(address));
  if (socket_.LastError() != 0) {
    Close();
    return OpenResult::Failed;
  }

  // The response head, bounded in size and in time.
  std::string head;
  size_t headEnd = std::string::npos;
  while ((headEnd = FindHeadEnd(head)) == std::string::npos) {
    const size_t n = head.size() > kMaxHttpHeadBytes ? 0 : Receive(openWaitMs);
    if (n == 0) {
      Close();
      return OpenResult::Failed;
    }
    head.append(readBuffer_.get(), n);
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
      const size_t n = Receive(openWaitMs);
      if (n == 0 || !Dechunk(readBuffer_.get(), n, body)) break;
    }
    if (boundary.empty()) {
      Close();
      return OpenResult::NotMjpeg;
    }
  }
  // Reads from here on wait by the read time-out alone.
  socket_.ClearDeadline();
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

size_t MjpegHttpReader::Receive(int timeoutMs) {
  return socket_.RecvSome(readBuffer_.get(), kStreamReadBytes, timeoutMs);
}

bool MjpegHttpReader::ReceiveMore(int timeoutMs) {
  const size_t n = Receive(timeoutMs);
  return n > 0 && Feed(readBuffer_.get(), n);
}

MjpegHttpReader::ReadResult MjpegHttpReader::Read(cv::Mat& frame, cv::Mat* jpeg) {
  if (!IsOpen()) return ReadResult::Failed;
  if (!pictureStarted_) {
    pictureStarted_ = true;
    pictureDeadline_ = TBlockingSocket::Clock::now() + std::chrono::milliseconds(pictureTimeoutMs_);
    socket_.SetDeadline(pictureDeadline_);
  }
  std::string_view body;
  for (;;) {
    const MultipartSplitter::Next next = parts_->NextPart(body);
    if (next == MultipartSplitter::Next::Part) break;
    // Bytes that are always there never make the socket wait, so the
    // deadline and the cancel are looked at here too.
    if (next == MultipartSplitter::Next::Error || (cancel_ && cancel_->Cancelled()) ||
        TBlockingSocket::Clock::now() >= pictureDeadline_ ||
        !ReceiveMore(static_cast<int>(readTimeoutMs_))) {
      Close();
      return ReadResult::Failed;
    }
  }
  const bool ok = decoder_.Decode(reinterpret_cast<const uint8_t*>(body.data()), body.size(), frame);
  if (ok) pictureStarted_ = false;
  if (ok && jpeg) {
    // The splitter's buffer moves on with the next part: the archive gets a copy.
    *jpeg = cv::Mat(1, static_cast<int>(body.size()), CV_8UC1);
    std::memcpy(jpeg->data, body.data(), body.size());
  }
  return ok ? ReadResult::Frame : ReadResult::Skipped;
}

void MjpegHttpReader::Close() {
  // At once: a camera keeps sending, so draining its stream would wait for nothing.
  socket_.AbortSocket();
  parts_.reset();
  payload_.clear();
}
