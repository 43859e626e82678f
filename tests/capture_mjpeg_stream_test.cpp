// The MJPEG stream's bytes, apart from the socket: addresses, the response
// head, chunked bodies and the multipart split, with their limits.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/MjpegStream.h"

namespace {
std::string Part(const std::string& body, bool withLength, const std::string& boundary = "b0und") {
  std::string part = "--" + boundary + "\r\nContent-Type: image/jpeg\r\n";
  if (withLength) part += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return part + "\r\n" + body + "\r\n";
}

// Feeds bytes in pieces of `step` and collects every part the splitter gives.
std::vector<std::string> Split(MultipartSplitter& splitter, const std::string& bytes, size_t step,
                               bool* error = nullptr) {
  std::vector<std::string> parts;
  for (size_t at = 0; at < bytes.size(); at += step) {
    splitter.Append(bytes.data() + at, std::min(step, bytes.size() - at));
    std::string_view body;
    MultipartSplitter::Next next;
    while ((next = splitter.NextPart(body)) == MultipartSplitter::Next::Part)
      parts.emplace_back(body);
    if (next == MultipartSplitter::Next::Error) {
      if (error) *error = true;
      break;
    }
  }
  return parts;
}

std::string Chunked(const std::string& payload, size_t chunk) {
  std::string out;
  char size[32];
  for (size_t at = 0; at < payload.size(); at += chunk) {
    const size_t n = std::min(chunk, payload.size() - at);
    std::snprintf(size, sizeof size, "%zx;ext=1\r\n", n);
    out += size + payload.substr(at, n) + "\r\n";
  }
  return out + "0\r\n\r\n";
}
} // namespace

TEST(MjpegStream, AddressesAreSplitForTheRequestAndUnsafeOnesRefused) {
  HttpUrl url;
  ASSERT_TRUE(ParseHttpUrl("http://cam.local/video.mjpg?res=hi", url));
  EXPECT_EQ(url.host, "cam.local");
  EXPECT_EQ(url.port, "80");
  EXPECT_EQ(url.target, "/video.mjpg?res=hi");
  ASSERT_TRUE(ParseHttpUrl("HTTP://admin:p@ss@[::1]:8081", url));
  EXPECT_EQ(url.host, "::1");
  EXPECT_EQ(url.port, "8081");
  EXPECT_EQ(url.target, "/");
  EXPECT_EQ(url.userInfo, "admin:p@ss");
  const std::string request = BuildStreamRequest(url);
  EXPECT_EQ(request.rfind("GET / HTTP/1.1\r\nHost: [::1]:8081\r\n", 0), 0u);
  // "admin:p@ss" in base64.
  EXPECT_NE(request.find("Authorization: Basic YWRtaW46cEBzcw==\r\n"), std::string::npos);
  EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");

  for (const char* bad : {"rtsp://cam/x", "https://cam/x", "http://", "http://:80/", "http://cam:0/",
                          "http://cam:65536/", "http://cam:8o/", "http://[::1/", "http://cam/a b",
                          "http://cam/a\r\nX-Injected: 1"})
    EXPECT_FALSE(ParseHttpUrl(bad, url)) << bad;
}

TEST(MjpegStream, ResponseHeadGivesStatusTypeAndTransferEncoding) {
  const std::string head =
      "HTTP/1.1 200 OK\r\nServer: cam\r\ncontent-type:  multipart/x-mixed-replace; "
      "boundary=\"--myboundary\"\r\nTransfer-Encoding: Chunked\r\n\r\nbody";
  ASSERT_EQ(FindHeadEnd(head), head.size() - 4);
  HttpResponseHead parsed;
  ASSERT_TRUE(ParseHttpResponseHead(head.substr(0, FindHeadEnd(head)), parsed));
  EXPECT_EQ(parsed.status, 200);
  EXPECT_TRUE(parsed.chunked);
  EXPECT_EQ(MultipartBoundary(parsed.contentType), "--myboundary");
  EXPECT_EQ(MultipartBoundary("Multipart/X-Mixed-Replace;boundary=ffmpeg"), "ffmpeg");
  EXPECT_EQ(MultipartBoundary("image/jpeg"), "");
  EXPECT_EQ(MultipartBoundary("multipart/x-mixed-replace"), "");

  EXPECT_EQ(FindHeadEnd("HTTP/1.0 404 Not Found\n\nx"), 24u);
  EXPECT_EQ(FindHeadEnd("HTTP/1.0 200 OK\r\nA: b\r\n"), std::string::npos);
  EXPECT_FALSE(ParseHttpResponseHead("ICY 200 OK\r\n\r\n", parsed));
  EXPECT_FALSE(ParseHttpResponseHead("HTTP/1.1 2x0 OK\r\n\r\n", parsed));
}

TEST(MjpegStream, AMislabelledStreamIsKnownByTheBoundaryItOpensWith) {
  std::string boundary;
  EXPECT_TRUE(SniffBoundary("\r\n--ffmpeg\r\nContent-type: image/jpeg\r\n", boundary));
  EXPECT_EQ(boundary, "ffmpeg");
  EXPECT_FALSE(SniffBoundary("--ffm", boundary)) << "the line is still coming";
  const std::string longest(kMaxBoundaryBytes, 'b');
  EXPECT_TRUE(SniffBoundary("--" + longest + "\n", boundary));
  EXPECT_EQ(boundary, longest);
  for (const std::string& other : {"--" + longest + "b\n", std::string("\xff\xd8\xff\xe0\n"),
                                   std::string("--a b\r\n"), std::string("-\n"),
                                   std::string(kMaxBoundaryBytes + 10, 'x')}) {
    EXPECT_TRUE(SniffBoundary(other, boundary)) << other.size();
    EXPECT_EQ(boundary, "") << other.size();
  }
}

TEST(MjpegStream, ChunkedBodiesGiveTheirPayloadHoweverTheyArrive) {
  std::string payload;
  for (int i = 0; i < 5000; ++i) payload += static_cast<char>(i * 7);
  const std::string wire = Chunked(payload, 777);
  for (size_t step : {size_t{1}, size_t{3}, size_t{1000}, wire.size()}) {
    ChunkedDecoder decoder;
    std::string out;
    ChunkedDecoder::State state = ChunkedDecoder::State::Ok;
    for (size_t at = 0; at < wire.size() && state == ChunkedDecoder::State::Ok; at += step)
      state = decoder.Feed(wire.data() + at, std::min(step, wire.size() - at), out);
    EXPECT_EQ(state, ChunkedDecoder::State::End) << step;
    EXPECT_EQ(out, payload) << step;
  }

  auto feed = [](const std::string& wire) {
    ChunkedDecoder decoder;
    std::string out;
    return decoder.Feed(wire.data(), wire.size(), out);
  };
  EXPECT_EQ(feed("zz\r\n"), ChunkedDecoder::State::Error);
  EXPECT_EQ(feed("3\r\nabcX"), ChunkedDecoder::State::Error);  // no line end after the data
  EXPECT_EQ(feed("1000000000000000\r\n"), ChunkedDecoder::State::Error);  // would overflow
  // A size line at the limit is read; one byte more is not.
  EXPECT_EQ(feed("1;" + std::string(kMaxChunkLineBytes - 2, 'x') + "\n"), ChunkedDecoder::State::Ok);
  EXPECT_EQ(feed("1;" + std::string(kMaxChunkLineBytes - 1, 'x') + "\n"),
            ChunkedDecoder::State::Error);
}

TEST(MjpegStream, PartsAreSplitWithAndWithoutTheirLengthsInAnyPieces) {
  // Bodies that contain line ends, dashes and the boundary's own letters.
  const std::vector<std::string> bodies = {"\xff\xd8 one \r\n--b0un \xff\xd9", "\xff\xd8two\xff\xd9",
                                           std::string(70000, '\x5a'), "\r\n"};
  for (bool withLength : {true, false}) {
    std::string wire = "preamble that is ignored\r\n";
    for (const auto& body : bodies) wire += Part(body, withLength);
    wire += "--b0und\r\n";  // the next part's start shows where the last one ended
    for (size_t step : {size_t{1}, size_t{5}, size_t{4096}, wire.size()}) {
      MultipartSplitter splitter("b0und");
      EXPECT_EQ(Split(splitter, wire, step), bodies) << withLength << " " << step;
    }
  }
  // Cameras whose boundary parameter already carries the dashes.
  MultipartSplitter dashed("--frame");
  EXPECT_EQ(Split(dashed, "--frame\r\n\r\nA\r\n--frame\r\n\r\nB\r\n--frame\r\n", 2),
            (std::vector<std::string>{"A", "B"}));
}

TEST(MjpegStream, OversizedPartsAreSkippedAndBrokenStreamsEnd) {
  const std::string big(kMaxMjpegPartBytes + 1, 'x');
  const std::string fits(kMaxMjpegPartBytes, 'y');
  for (bool withLength : {true, false}) {
    MultipartSplitter splitter("b0und");
    const std::string wire = Part(big, withLength) + Part("after", withLength) + "--b0und\r\n";
    bool error = false;
    const auto parts = Split(splitter, wire, 65536, &error);
    EXPECT_FALSE(error);
    // Compared without printing: a failure would show megabytes.
    EXPECT_TRUE(parts == std::vector<std::string>{"after"}) << withLength << ": " << parts.size();
    EXPECT_EQ(splitter.SkippedParts(), 1u);
    EXPECT_LE(splitter.Buffered(), kMaxHttpHeadBytes);
  }
  {
    // A part of exactly the limit still comes through.
    MultipartSplitter splitter("b0und");
    const auto parts = Split(splitter, Part(fits, true) + "--b0und\r\n", 65536);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].size(), kMaxMjpegPartBytes);
  }
  {
    // A part head over its limit breaks the stream; one at the limit does not.
    const std::string header = "X-Pad: ";
    const std::string atLimit =
        "--b0und\r\n" + header + std::string(kMaxHttpHeadBytes - header.size() - 4, 'p') +
        "\r\n\r\nok\r\n--b0und\r\n";
    MultipartSplitter fine("b0und");
    EXPECT_EQ(Split(fine, atLimit, 100), std::vector<std::string>{"ok"});
    bool error = false;
    MultipartSplitter endless("b0und");
    Split(endless, "--b0und\r\n" + std::string(kMaxHttpHeadBytes + 10, 'h'), 100, &error);
    EXPECT_TRUE(error);
  }
  {
    bool error = false;
    MultipartSplitter closing("b0und");
    EXPECT_EQ(Split(closing, Part("last", true) + "--b0und--\r\n", 7, &error),
              std::vector<std::string>{"last"});
    EXPECT_TRUE(error);
  }
  {
    // Endless bytes without any boundary are not kept.
    MultipartSplitter splitter("b0und");
    bool error = false;
    Split(splitter, std::string(3 * 1024 * 1024, 'n'), 65536, &error);
    EXPECT_FALSE(error);
    EXPECT_LT(splitter.Buffered(), 16u);
  }
}
