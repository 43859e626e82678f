// A network camera's HTTP answer, as the MJPEG reader takes it apart: the
// response head, a chunked body and the multipart split. Whatever arrives,
// nothing grows past the reader's limits and no part is larger than a part
// may be.
#include <fuzzer/FuzzedDataProvider.h>

#include "capture/MjpegStream.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string boundary = input.ConsumeRandomLengthString(kMaxBoundaryBytes);
  const size_t step = input.ConsumeIntegralInRange<size_t>(1, 4096);
  const std::string bytes = input.ConsumeRemainingBytesAsString();

  const size_t headEnd = FindHeadEnd(bytes);
  if (headEnd != std::string::npos) {
    FUZZ_CHECK(headEnd <= bytes.size());
    HttpResponseHead head;
    if (ParseHttpResponseHead(std::string_view(bytes).substr(0, headEnd), head))
      FUZZ_CHECK(MultipartBoundary(head.contentType).size() <= bytes.size());
  }
  std::string sniffed;
  if (SniffBoundary(bytes, sniffed)) FUZZ_CHECK(sniffed.size() <= kMaxBoundaryBytes);

  // A chunked body never gives more payload than it carried.
  ChunkedDecoder chunked;
  std::string payload;
  for (size_t at = 0; at < bytes.size(); at += step) {
    if (chunked.Feed(bytes.data() + at, std::min(step, bytes.size() - at), payload) !=
        ChunkedDecoder::State::Ok)
      break;
  }
  FUZZ_CHECK(payload.size() <= bytes.size());

  if (boundary.empty()) return 0;
  MultipartSplitter splitter(boundary);
  for (size_t at = 0; at < bytes.size(); at += step) {
    splitter.Append(bytes.data() + at, std::min(step, bytes.size() - at));
    std::string_view body;
    MultipartSplitter::Next next;
    while ((next = splitter.NextPart(body)) == MultipartSplitter::Next::Part)
      FUZZ_CHECK(body.size() <= kMaxMjpegPartBytes);
    if (next == MultipartSplitter::Next::Error) break;
    // What waits in memory stays within a part, a head and one read.
    FUZZ_CHECK(splitter.Buffered() <= kMaxMjpegPartBytes + kMaxHttpHeadBytes + step);
  }
  return 0;
}
