// SMTP replies and the message text on the wire: codes stay in range, a
// capability found is one that was offered, and the DATA text can neither
// end early nor carry a bare CR or LF, yet gives back every line.
#include <cctype>

#include "fuzz/FuzzCheck.h"
#include "mail/SmtpReply.h"

namespace {
std::vector<std::string> SplitAtLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1)
    lines.push_back(text.substr(start, lf - start));
  lines.push_back(text.substr(start));
  return lines;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// The lines the receiver sees: the text between CR LF pairs, one leading
// dot of a stuffed line removed.
std::vector<std::string> Unstuff(const std::string& wire) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = wire.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string line = wire.substr(start, end - start);
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    lines.push_back(line);
  }
  FUZZ_CHECK(start == wire.size());
  return lines;
}

// The sender's lines as they must arrive: split at every CR LF, LF CR,
// CR or LF.
std::vector<std::string> Expected(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    std::string current;
    bool any = false;
    for (size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (c != '\r' && c != '\n') {
        current.push_back(c);
        continue;
      }
      out.push_back(current);
      current.clear();
      any = true;
      const char partner = c == '\r' ? '\n' : '\r';
      if (i + 1 < line.size() && line[i + 1] == partner) ++i;
    }
    if (!any || !current.empty()) out.push_back(current);
  }
  return out;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> lines = SplitAtLf(AsText(data, size));

  for (const std::string& line : lines) {
    const int code = smtp::ReplyCode(line);
    FUZZ_CHECK(code >= 0 && code <= 999);
    if (code != 0) {
      FUZZ_CHECK(std::isdigit(static_cast<unsigned char>(line[0])) &&
                 std::isdigit(static_cast<unsigned char>(line[1])) &&
                 std::isdigit(static_cast<unsigned char>(line[2])));
      FUZZ_CHECK(code == std::stoi(line.substr(0, 3)));
    }
    FUZZ_CHECK(smtp::ReplyContinues(line) == (line.size() > 3 && line[3] == '-' &&
                                              line.substr(0, 3).find('-') == std::string::npos));
    int c = -1, s = -1, d = -1;
    if (smtp::ParseEnhancedCode(line, c, s, d)) {
      FUZZ_CHECK(c >= 1 && c <= 9 && s >= 0 && s <= 999 && d >= 0 && d <= 999);
    } else {
      FUZZ_CHECK(c == 0 && s == 0 && d == 0);
    }
    FUZZ_CHECK(smtp::SizeOfCapability(line) >= 0);
  }

  const std::vector<std::string> caps = smtp::CapabilitiesOf(lines);
  FUZZ_CHECK(caps.size() == lines.size() - 1);
  for (const char* name : {"AUTH", "STARTTLS", "SIZE", "8BITMIME", ""}) {
    const std::string found = smtp::FindCapability(caps, name);
    if (!found.empty()) {
      FUZZ_CHECK(StartsWithNoCase(found, name));
      bool offered = false;
      for (const std::string& cap : caps) offered = offered || cap == found;
      FUZZ_CHECK(offered);
    }
  }

  const std::vector<std::string> batches = smtp::DataBatches(lines);
  std::string wire;
  for (const std::string& batch : batches) {
    FUZZ_CHECK(!batch.empty());
    // A batch whose text, without its last CR LF, reaches the batch size
    // carries one line only.
    if (batch.size() - 2 >= smtp::kDataBatchBytes)
      FUZZ_CHECK(batch.find("\r\n") == batch.size() - 2);
    wire += batch;
  }
  for (size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] == '\r') FUZZ_CHECK(i + 1 < wire.size() && wire[i + 1] == '\n');
    if (wire[i] == '\n') FUZZ_CHECK(i > 0 && wire[i - 1] == '\r');
  }
  FUZZ_CHECK(wire.compare(0, 3, ".\r\n") != 0);
  FUZZ_CHECK(wire.find("\r\n.\r\n") == std::string::npos);
  FUZZ_CHECK(Unstuff(wire) == Expected(lines));
  return 0;
}
