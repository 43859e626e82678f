// Splitting socket bytes into lines: however the bytes are cut into
// packets, the lines are the same as those of the whole text, and none is
// longer than the limit or refused below it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include <unistd.h>

#include "fuzz/FuzzCheck.h"
#include "net/BlockingSocket.h"
#include "pop3/Pop3Reply.h"

namespace {

// A socket whose bytes come from a list of packets; once they run out it
// waits on an empty pipe, so a read times out at once.
class TPacketSocket : public TBlockingSocket {
public:
  explicit TPacketSocket(std::deque<std::string> packets) : packets_(std::move(packets)) {
    static int idle[2] = {-1, -1};
    if (idle[0] < 0 && pipe(idle) != 0) std::abort();
    fd_ = idle[0];
  }
  ~TPacketSocket() override { fd_ = -1; }
  int WaitingData() override { return packets_.empty() ? 0 : static_cast<int>(packets_.front().size()); }

protected:
  size_t RecvChunk(char* data, size_t len) override {
    if (packets_.empty()) return 0;
    std::string& front = packets_.front();
    const size_t n = std::min(len, front.size());
    std::memcpy(data, front.data(), n);
    front.erase(0, n);
    if (front.empty()) packets_.pop_front();
    return n;
  }

private:
  std::deque<std::string> packets_;
};

// The lines of the whole text: any of CR LF, LF CR, CR, LF ends one, or
// CR LF alone when only that counts.
std::vector<std::string> WholeLines(const std::string& text, bool anyEnd) {
  std::vector<std::string> lines;
  std::string current;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!anyEnd) {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        lines.push_back(current);
        current.clear();
        ++i;
      } else {
        current.push_back(c);
      }
      continue;
    }
    if (c != '\r' && c != '\n') {
      current.push_back(c);
      continue;
    }
    lines.push_back(current);
    current.clear();
    const char partner = c == '\r' ? '\n' : '\r';
    if (i + 1 < text.size() && text[i + 1] == partner) ++i;
  }
  return lines;
}

void CheckSocketLines(const std::string& text, const std::deque<std::string>& packets,
                      bool anyEnd, int limit) {
  TPacketSocket socket(packets);
  socket.ConvertLineEnd = anyEnd;
  socket.MaxLineLength = limit;
  const std::vector<std::string> expected = WholeLines(text, anyEnd);
  size_t next = 0;
  for (;;) {
    const std::string line = socket.RecvString(0);
    if (socket.LastError() != 0) {
      if (socket.LastError() == kSockErrNoBuffers) {
        // Refused only for a line that is really over the limit.
        FUZZ_CHECK(limit > 0);
        FUZZ_CHECK(next == expected.size() || expected[next].size() > static_cast<size_t>(limit));
      } else {
        FUZZ_CHECK(next == expected.size());
      }
      return;
    }
    FUZZ_CHECK(next < expected.size());
    FUZZ_CHECK(line == expected[next]);
    if (limit > 0) FUZZ_CHECK(line.size() <= static_cast<size_t>(limit));
    ++next;
  }
}

// The POP3 client's loop: append what arrives, take whole lines.
void CheckTakeLine(const std::deque<std::string>& packets, size_t maxBytes) {
  std::string buffer, all, rebuilt, line;
  for (const std::string& packet : packets) {
    buffer += packet;
    all += packet;
    for (;;) {
      const size_t before = buffer.size();
      const TLineResult r = TakeLine(buffer, line, maxBytes);
      if (r == TLineResult::NeedMore) {
        FUZZ_CHECK(buffer.size() <= maxBytes && buffer.find('\n') == std::string::npos);
        break;
      }
      if (r == TLineResult::TooLong) {
        const size_t lf = buffer.find('\n');
        FUZZ_CHECK(lf == std::string::npos ? buffer.size() > maxBytes : lf + 1 > maxBytes);
        return;
      }
      FUZZ_CHECK(line.find('\n') == std::string::npos);
      const size_t used = before - buffer.size();
      FUZZ_CHECK(used <= maxBytes);
      FUZZ_CHECK(used == line.size() + 1 || used == line.size() + 2);
      rebuilt += line + (used == line.size() + 2 ? "\r\n" : "\n");
    }
  }
  FUZZ_CHECK(rebuilt + buffer == all);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool anyEnd = in.ConsumeBool();
  const int limit = in.ConsumeIntegralInRange<int>(0, 64);
  const size_t maxBytes = in.ConsumeIntegralInRange<size_t>(1, 64);
  // Packet lengths first, then the text that they cut.
  std::vector<size_t> cuts;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < count; ++i) cuts.push_back(in.ConsumeIntegralInRange<size_t>(1, 32));
  const std::string text = in.ConsumeRemainingBytesAsString();

  std::deque<std::string> packets;
  size_t pos = 0;
  for (size_t cut : cuts) {
    if (pos >= text.size()) break;
    packets.push_back(text.substr(pos, cut));
    pos += cut;
  }
  if (pos < text.size()) packets.push_back(text.substr(pos));

  CheckSocketLines(text, packets, anyEnd, limit);
  CheckTakeLine(packets, maxBytes);
  return 0;
}
