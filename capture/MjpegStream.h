#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What a network camera's MJPEG stream may send before it counts as broken.
constexpr size_t kMaxHttpHeadBytes = 16 * 1024;         // response head, and each part's head
constexpr size_t kMaxMjpegPartBytes = 16 * 1024 * 1024;  // one JPEG; a larger part is skipped
constexpr size_t kMaxChunkLineBytes = 1024;              // a chunk-size line with extensions
constexpr size_t kMaxBoundaryBytes = 70;                 // a multipart boundary, as MIME allows

// An http:// address split for the request.
struct HttpUrl {
  std::string host;      // without brackets for an IPv6 literal
  std::string port = "80";
  std::string target = "/";  // path and query
  std::string userInfo;  // "user:password" before "@", empty if none
};

// Splits an http:// address; false for any other scheme or a malformed one.
bool ParseHttpUrl(std::string_view url, HttpUrl& out);

// The GET request for the stream at url, with Basic credentials when the
// address carries them.
std::string BuildStreamRequest(const HttpUrl& url);

// The parts of an HTTP response head the MJPEG reader needs.
struct HttpResponseHead {
  int status = 0;
  std::string contentType;
  bool chunked = false;  // Transfer-Encoding: chunked
};

// Where the head in bytes ends (just past its blank line), or npos when
// the blank line has not come yet.
size_t FindHeadEnd(std::string_view bytes);

// Parses a response head (status line and header lines). False when the
// status line is not HTTP's.
bool ParseHttpResponseHead(std::string_view head, HttpResponseHead& out);

// The boundary of a multipart/x-mixed-replace (or any multipart) content
// type, without quotes; empty for any other type.
std::string MultipartBoundary(std::string_view contentType);

// For a stream whose type does not say multipart (some servers label MJPEG
// application/octet-stream): the boundary its body opens with, a first line
// "--" followed by up to kMaxBoundaryBytes printable characters; empty when
// the body does not open like that. False while that line is still coming.
bool SniffBoundary(std::string_view body, std::string& boundary);

// Takes the payload out of a chunked body as it arrives.
class ChunkedDecoder {
public:
  enum class State { Ok, End, Error };
  // Appends the payload in data to out. End after the last chunk, Error for
  // a malformed size line or one longer than kMaxChunkLineBytes.
  State Feed(const char* data, size_t size, std::string& out);

private:
  enum class Phase { Size, Data, DataEnd, Done };
  Phase phase_ = Phase::Size;
  std::string line_;
  uint64_t left_ = 0;
};

// Splits a multipart body into its parts' bodies (one JPEG each), keeping
// at most about kMaxMjpegPartBytes plus one read in memory.
class MultipartSplitter {
public:
  explicit MultipartSplitter(std::string boundary);

  void Append(const char* data, size_t size);

  enum class Next { NeedMore, Part, Error };
  // The next whole part's body in body (valid until the next call of
  // either function). Error when a part's head is over kMaxHttpHeadBytes or
  // the closing boundary came. Parts over kMaxMjpegPartBytes are skipped.
  Next NextPart(std::string_view& body);

  size_t Buffered() const { return buffer_.size() - pos_; }
  uint64_t SkippedParts() const { return skipped_; }

private:
  enum class Phase { Boundary, Head, Body, Skip };
  void Compact();
  // Drops what has been searched without a find, keeping a tail that may
  // hold the start of the boundary.
  void DropSearched();

  std::string boundary_;
  std::string buffer_;
  size_t pos_ = 0;          // start of the unread bytes
  size_t searchFrom_ = 0;   // where the next boundary search starts
  Phase phase_ = Phase::Boundary;
  size_t headBytes_ = 0;
  int64_t length_ = -1;     // the part's Content-Length, -1 when it gave none
  uint64_t skipLeft_ = 0;
  uint64_t skipped_ = 0;
};
