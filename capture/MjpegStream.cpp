#include "capture/MjpegStream.h"

#include <algorithm>
#include <cctype>

#include "platform/Base64.h"

namespace {
constexpr int kMaxChunkSizeDigits = 15;  // sizes up to 2^60: no overflow

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// Splits "Name: value" into a lower-case name and the trimmed value.
bool HeaderField(std::string_view line, std::string& name, std::string_view& value) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  name = Lower(Trim(line.substr(0, colon)));
  value = Trim(line.substr(colon + 1));
  return true;
}

int64_t ParseLength(std::string_view value) {
  if (value.empty() || value.size() > 18) return -1;
  int64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}
} // namespace

bool ParseHttpUrl(std::string_view url, HttpUrl& out) {
  out = HttpUrl{};
  if (Lower(url.substr(0, 7)) != "http://") return false;
  std::string_view rest = url.substr(7);
  const size_t slash = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) {
    out.target = std::string(rest.substr(slash));
    if (out.target.front() == '?') out.target.insert(0, "/");
  }
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    out.userInfo = std::string(authority.substr(0, at));
    authority = authority.substr(at + 1);
  }
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    out.host = std::string(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
    }
  } else {
    const size_t colon = authority.find(':');
    out.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (out.host.empty()) return false;
  if (!port.empty()) {
    const int64_t number = ParseLength(port);
    if (number <= 0 || number > 65535) return false;
    out.port = std::string(port);
  }
  // A space or control character would break the request's lines.
  for (const std::string* text : {&out.host, &out.target, &out.userInfo})
    for (char c : *text)
      if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
  return true;
}

std::string BuildStreamRequest(const HttpUrl& url) {
  const bool v6 = url.host.find(':') != std::string::npos;
  std::string request = "GET " + url.target + " HTTP/1.1\r\nHost: " +
                        (v6 ? "[" + url.host + "]" : url.host) +
                        (url.port == "80" ? "" : ":" + url.port) + "\r\n";
  if (!url.userInfo.empty())
    request += "Authorization: Basic " + Base64Encode(url.userInfo.data(), url.userInfo.size()) + "\r\n";
  request += "Accept: multipart/x-mixed-replace, */*\r\nConnection: close\r\n\r\n";
  return request;
}

size_t FindHeadEnd(std::string_view bytes) {
  const size_t crlf = bytes.find("\r\n\r\n");
  const size_t lf = bytes.find("\n\n");
  size_t end = std::string_view::npos;
  if (crlf != std::string_view::npos) end = crlf + 4;
  if (lf != std::string_view::npos) end = std::min(end, lf + 2);
  return end;
}

bool ParseHttpResponseHead(std::string_view head, HttpResponseHead& out) {
  out = HttpResponseHead{};
  size_t lineEnd = head.find('\n');
  const std::string_view status = Trim(head.substr(0, lineEnd));
  if (status.size() < 12 || status.substr(0, 5) != "HTTP/") return false;
  const size_t space = status.find(' ');
  if (space == std::string_view::npos || space + 4 > status.size()) return false;
  int code = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    if (status[i] < '0' || status[i] > '9') return false;
    code = code * 10 + (status[i] - '0');
  }
  out.status = code;
  while (lineEnd != std::string_view::npos) {
    const size_t start = lineEnd + 1;
    lineEnd = head.find('\n', start);
    std::string name;
    std::string_view value;
    if (!HeaderField(head.substr(start, lineEnd - start), name, value)) continue;
    if (name == "content-type") out.contentType = std::string(value);
    if (name == "transfer-encoding" && Lower(value).find("chunked") != std::string::npos)
      out.chunked = true;
  }
  return true;
}

std::string MultipartBoundary(std::string_view contentType) {
  const std::string lower = Lower(contentType);
  if (lower.compare(0, 10, "multipart/") != 0) return {};
  const size_t at = lower.find("boundary=");
  if (at == std::string::npos) return {};
  std::string_view value = contentType.substr(at + 9);
  value = Trim(value.substr(0, value.find(';')));
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  return std::string(value);
}

bool SniffBoundary(std::string_view body, std::string& boundary) {
  boundary.clear();
  const size_t start = body.find_first_not_of("\r\n");
  if (start == std::string_view::npos) return body.size() > kMaxBoundaryBytes + 4;
  const size_t end = body.find('\n', start);
  const size_t longest = kMaxBoundaryBytes + 3;  // "--", the boundary, CR
  if (end == std::string_view::npos) return body.size() - start > longest;
  std::string_view line = body.substr(start, end - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() < 3 || line.size() > kMaxBoundaryBytes + 2 || line.substr(0, 2) != "--")
    return true;
  for (char c : line)
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f) return true;
  boundary = std::string(line.substr(2));
  return true;
}

ChunkedDecoder::State ChunkedDecoder::Feed(const char* data, size_t size, std::string& out) {
  size_t i = 0;
  while (i < size) {
    switch (phase_) {
    case Phase::Size: {
      const char c = data[i++];
      if (c != '\n') {
        if (line_.size() >= kMaxChunkLineBytes) return State::Error;
        line_.push_back(c);
        break;
      }
      uint64_t chunk = 0;
      int digits = 0;
      for (char h : line_) {
        const int v = std::isxdigit(static_cast<unsigned char>(h))
                          ? (std::isdigit(static_cast<unsigned char>(h)) ? h - '0'
                                                                          : std::tolower(h) - 'a' + 10)
                          : -1;
        if (v < 0) break;
        if (++digits > kMaxChunkSizeDigits) return State::Error;
        chunk = chunk * 16 + static_cast<uint64_t>(v);
      }
      line_.clear();
      if (digits == 0) return State::Error;
      if (chunk == 0) {
        phase_ = Phase::Done;
        return State::End;
      }
      left_ = chunk;
      phase_ = Phase::Data;
      break;
    }
    case Phase::Data: {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(left_, size - i));
      out.append(data + i, take);
      i += take;
      left_ -= take;
      if (left_ == 0) phase_ = Phase::DataEnd;
      break;
    }
    case Phase::DataEnd: {
      const char c = data[i++];
      if (c == '\n') phase_ = Phase::Size;
      else if (c != '\r') return State::Error;
      break;
    }
    case Phase::Done:
      return State::End;
    }
  }
  return phase_ == Phase::Done ? State::End : State::Ok;
}

MultipartSplitter::MultipartSplitter(std::string boundary) : boundary_(std::move(boundary)) {}

void MultipartSplitter::Append(const char* data, size_t size) {
  Compact();
  buffer_.append(data, size);
}

void MultipartSplitter::Compact() {
  if (pos_ == 0) return;
  buffer_.erase(0, pos_);
  searchFrom_ = searchFrom_ > pos_ ? searchFrom_ - pos_ : 0;
  pos_ = 0;
}

void MultipartSplitter::DropSearched() {
  const size_t keep = boundary_.size() > 0 ? boundary_.size() - 1 : 0;
  searchFrom_ = std::max(pos_, buffer_.size() > keep ? buffer_.size() - keep : 0);
}

MultipartSplitter::Next MultipartSplitter::NextPart(std::string_view& body) {
  for (;;) {
    switch (phase_) {
    case Phase::Boundary: {
      const size_t at = buffer_.find(boundary_, std::max(pos_, searchFrom_));
      if (at == std::string::npos) {
        // Nothing before a boundary is kept: that is preamble or the rest
        // of a part too large to keep.
        DropSearched();
        pos_ = searchFrom_;
        return Next::NeedMore;
      }
      pos_ = at;
      const size_t lineEnd = buffer_.find('\n', at + boundary_.size());
      if (lineEnd == std::string::npos) {
        if (Buffered() > kMaxHttpHeadBytes) return Next::Error;
        searchFrom_ = pos_;
        return Next::NeedMore;
      }
      // "--boundary--" closes the stream.
      if (buffer_.compare(at + boundary_.size(), 2, "--") == 0) return Next::Error;
      pos_ = lineEnd + 1;
      phase_ = Phase::Head;
      headBytes_ = 0;
      length_ = -1;
      break;
    }
    case Phase::Head: {
      const size_t lineEnd = buffer_.find('\n', pos_);
      if (lineEnd == std::string::npos) {
        if (headBytes_ + Buffered() > kMaxHttpHeadBytes) return Next::Error;
        return Next::NeedMore;
      }
      headBytes_ += lineEnd + 1 - pos_;
      if (headBytes_ > kMaxHttpHeadBytes) return Next::Error;
      const std::string_view line = Trim(std::string_view(buffer_).substr(pos_, lineEnd - pos_));
      pos_ = lineEnd + 1;
      if (line.empty()) {
        phase_ = Phase::Body;
        searchFrom_ = pos_;
        break;
      }
      std::string name;
      std::string_view value;
      if (HeaderField(line, name, value) && name == "content-length") length_ = ParseLength(value);
      break;
    }
    case Phase::Body: {
      if (length_ >= 0) {
        if (static_cast<uint64_t>(length_) > kMaxMjpegPartBytes) {
          skipLeft_ = static_cast<uint64_t>(length_);
          ++skipped_;
          phase_ = Phase::Skip;
          break;
        }
        if (Buffered() < static_cast<size_t>(length_)) return Next::NeedMore;
        body = std::string_view(buffer_).substr(pos_, static_cast<size_t>(length_));
        pos_ += static_cast<size_t>(length_);
        searchFrom_ = pos_;
        phase_ = Phase::Boundary;
        return Next::Part;
      }
      // No length given: the part ends where the next boundary starts.
      const size_t at = buffer_.find(boundary_, std::max(pos_, searchFrom_));
      if (at == std::string::npos) {
        DropSearched();
        if (Buffered() > kMaxMjpegPartBytes) {
          ++skipped_;
          pos_ = searchFrom_;
          phase_ = Phase::Boundary;
          break;
        }
        return Next::NeedMore;
      }
      size_t end = at;
      if (end >= pos_ + 2 && buffer_.compare(end - 2, 2, "--") == 0) end -= 2;
      if (end > pos_ && buffer_[end - 1] == '\n') --end;
      if (end > pos_ && buffer_[end - 1] == '\r') --end;
      const bool tooLarge = end - pos_ > kMaxMjpegPartBytes;
      body = std::string_view(buffer_).substr(pos_, end - pos_);
      pos_ = at;
      searchFrom_ = at;
      phase_ = Phase::Boundary;
      if (!tooLarge) return Next::Part;
      ++skipped_;
      break;
    }
    case Phase::Skip: {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(skipLeft_, Buffered()));
      pos_ += take;
      skipLeft_ -= take;
      if (skipLeft_ > 0) return Next::NeedMore;
      searchFrom_ = pos_;
      phase_ = Phase::Boundary;
      break;
    }
    }
  }
}
