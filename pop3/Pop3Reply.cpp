#include "pop3/Pop3Reply.h"

#include <cctype>
#include <climits>
#include <cstring>

#include "platform/TextNumber.h"
#include "pop3/Pop3Error.h"

namespace {

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

TLineResult TakeLine(std::string& buffer, std::string& line, size_t maxBytes) {
  size_t lf = buffer.find('\n');
  if (lf == std::string::npos) {
    return buffer.size() > maxBytes ? TLineResult::TooLong : TLineResult::NeedMore;
  }
  if (lf + 1 > maxBytes) return TLineResult::TooLong;
  size_t end = lf;
  if (end > 0 && buffer[end - 1] == '\r') --end;
  line.assign(buffer, 0, end);
  buffer.erase(0, lf + 1);
  return TLineResult::Line;
}

std::string TrimReplyLine(const std::string& line) {
  size_t begin = 0;
  size_t end = line.size();
  while (begin < end && IsBlankOrControl(line[begin])) ++begin;
  while (end > begin && IsBlankOrControl(line[end - 1])) --end;
  return line.substr(begin, end - begin);
}

int ReplyStatusOf(const std::string& line) {
  if (StartsWithNoCase(line, "+OK")) return 1;
  if (StartsWithNoCase(line, "-ERR")) return 0;
  std::string head = line.substr(0, 3);
  if (head.empty()) return 0;
  int status = 0;
  for (char c : head) {
    if (c < '0' || c > '9') return 0;
    status = status * 10 + (c - '0');
  }
  return status;
}

void TPop3Reply::Clear() {
  Lines.clear();
  Status = 0;
  Bytes = 0;
}

bool TPop3Reply::AddLine(const std::string& rawLine) {
  std::string line = TrimReplyLine(rawLine);
  if (line.empty()) return false;
  if (Lines.size() >= kPop3MaxReplyLines || Bytes + line.size() > kPop3MaxReplyBytes)
    throw EPop3ReplyTooLong();
  Bytes += line.size();
  Lines.push_back(line);
  const std::string& first = Lines.front();
  bool complete;
  if (Lines.size() == 1) {
    complete = !(first.size() > 3 && first[3] == '-');
  } else {
    complete = line.size() < 4 || line.compare(0, 4, first.substr(0, 3) + " ") == 0;
  }
  if (complete) Status = ReplyStatusOf(line);
  return complete;
}

const std::string& TPop3Reply::LastLine() const {
  static const std::string kNone;
  return Lines.empty() ? kNone : Lines.back();
}

int ParseMessageCount(const std::string& statusLine) {
  const size_t kCountStart = 4;  // after "+OK "
  std::string field;
  if (statusLine.size() > kCountStart) {
    size_t blank = statusLine.find(' ', kCountStart);
    if (blank != std::string::npos) field = statusLine.substr(kCountStart, blank - kCountStart);
  }
  int count = 0;
  if (!TextToInt32(field, count)) throw EPop3ConvertError(field);
  return count;
}


std::string ParseUniqueIdLine(const std::string& statusLine, int number) {
  // "+OK " then the number, one blank, the id and nothing after it.
  const std::string head = " " + std::to_string(number) + " ";
  if (!StartsWithNoCase(statusLine, "+OK") || statusLine.compare(3, head.size(), head) != 0) return "";
  const std::string id = statusLine.substr(3 + head.size());
  if (id.empty() || id.size() > kMaxUniqueIdBytes) return "";
  for (char c : id)
    if (c < 0x21 || c > 0x7e) return "";
  return id;
}
