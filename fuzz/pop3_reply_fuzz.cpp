// POP3 replies: a reply never keeps more lines than its cap, its lines are
// trimmed and never empty, statuses stay in range, and a message count is
// exactly the number written there or refused.
#include <cerrno>
#include <cstdlib>

#include "fuzz/FuzzCheck.h"
#include "pop3/Pop3Error.h"
#include "pop3/Pop3Reply.h"

namespace {
bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

void CheckCount(const std::string& line) {
  const size_t kCountStart = 4;
  std::string field;
  bool haveField = false;
  if (line.size() > kCountStart) {
    const size_t blank = line.find(' ', kCountStart);
    haveField = blank != std::string::npos;
    if (haveField) field = line.substr(kCountStart, blank - kCountStart);
  }
  // What strtoll makes of the whole field, when it is one plain number.
  bool plain = haveField && !field.empty();
  for (size_t i = 0; plain && i < field.size(); ++i)
    plain = (field[i] >= '0' && field[i] <= '9') || (i == 0 && (field[i] == '+' || field[i] == '-'));
  plain = plain && field.find_first_of("0123456789") != std::string::npos;
  errno = 0;
  const long long expected = plain ? std::strtoll(field.c_str(), nullptr, 10) : 0;
  plain = plain && errno == 0 && expected >= INT32_MIN && expected <= INT32_MAX;
  try {
    const int count = ParseMessageCount(line);
    FUZZ_CHECK(plain && count == expected);
  } catch (const EPop3ConvertError&) {
    FUZZ_CHECK(!plain);
  }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string buffer = AsText(data, size);
  TPop3Reply reply;
  std::string line;
  while (TakeLine(buffer, line) == TLineResult::Line) {
    const int status = ReplyStatusOf(line);
    FUZZ_CHECK(status >= 0 && status <= 999);
    CheckCount(line);
    const size_t before = reply.Lines.size();
    bool complete = false;
    try {
      complete = reply.AddLine(line);
    } catch (const EPop3ReplyTooLong&) {
      FUZZ_CHECK(before == kPop3MaxReplyLines);
      reply.Clear();
      continue;
    }
    FUZZ_CHECK(reply.Lines.size() <= kPop3MaxReplyLines);
    FUZZ_CHECK(reply.Lines.size() == before + (TrimReplyLine(line).empty() ? 0 : 1));
    for (const std::string& kept : reply.Lines) {
      FUZZ_CHECK(!kept.empty() && !IsBlankOrControl(kept.front()) && !IsBlankOrControl(kept.back()));
    }
    if (complete) {
      FUZZ_CHECK(reply.Status == ReplyStatusOf(reply.LastLine()));
      reply.Clear();
    }
  }
  return 0;
}
