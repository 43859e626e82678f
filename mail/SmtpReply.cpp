#include "mail/SmtpReply.h"

#include <cctype>
#include <algorithm>
#include <climits>

#include "net/LineEnd.h"
#include "platform/TextNumber.h"
#include "platform/TextTrim.h"

namespace smtp {
namespace {

// Longest number a reply carries: nine digits always fit an int.
constexpr size_t kMaxReplyNumberDigits = 9;

// A decimal number of digits only; -1 otherwise.
int ToNumber(const std::string& text) {
  int32_t number = -1;
  if (text.size() > kMaxReplyNumberDigits || !TextToInt32(text, number, TNumberSign::Refused))
    return -1;
  return number;
}


std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

} // namespace

bool ReplyContinues(const std::string& line) { return line.find('-') == 3; }

int ReplyCode(const std::string& line) {
  if (line.size() < 3) return 0;
  const int code = ToNumber(line.substr(0, 3));
  return code < 0 ? 0 : code;
}

bool ParseEnhancedCode(const std::string& line, int& codeClass, int& subject, int& detail) {
  codeClass = subject = detail = 0;
  if (line.size() < 5) return false;
  std::string rest = line.substr(4);
  size_t dot = rest.find('.');
  if (dot == std::string::npos) return false;
  const std::string c1 = Trim(rest.substr(0, dot));
  rest.erase(0, dot + 1);
  dot = rest.find('.');
  if (dot == std::string::npos) return false;
  const std::string c2 = Trim(rest.substr(0, dot));
  rest.erase(0, dot + 1);
  const std::string c3 = Trim(rest.substr(0, rest.find(' ')));
  if (c1.size() != 1 || c2.size() > 3 || c3.size() > 3) return false;
  const int n1 = ToNumber(c1), n2 = ToNumber(c2), n3 = ToNumber(c3);
  if (n1 <= 0 || n2 < 0 || n3 < 0) return false;
  codeClass = n1;
  subject = n2;
  detail = n3;
  return true;
}

std::vector<std::string> CapabilitiesOf(const std::vector<std::string>& ehloReply) {
  std::vector<std::string> caps;
  for (size_t i = 1; i < ehloReply.size(); ++i)
    caps.push_back(ehloReply[i].size() > 4 ? ehloReply[i].substr(4) : std::string());
  return caps;
}

std::string FindCapability(const std::vector<std::string>& caps, const std::string& name) {
  const std::string wanted = Upper(name);
  for (const std::string& cap : caps) {
    if (Upper(cap).compare(0, wanted.size(), wanted) == 0) return cap;
  }
  return std::string();
}

int SizeOfCapability(const std::string& sizeCap) {
  if (sizeCap.size() <= 5) return 0;
  const int size = ToNumber(Trim(sizeCap.substr(5)));
  return size < 0 ? 0 : size;
}

bool AuthMayTryAnotherMechanism(int code) {
  constexpr int kCommandUnknown = 500, kNotImplemented = 502, kMechanismUnknown = 504;
  if (code >= 400 && code < 500) return true;
  return code == kCommandUnknown || code == kNotImplemented || code == kMechanismUnknown;
}

bool HasWord(const std::string& list, const std::string& word) {
  size_t at = 0;
  while (at < list.size()) {
    const size_t end = std::min(list.find(' ', at), list.size());
    if (list.compare(at, end - at, word) == 0) return true;
    at = end + 1;
  }
  return false;
}

std::vector<std::string> DataBatches(const std::vector<std::string>& lines) {
  std::vector<std::string> batches;
  std::string buffer;
  auto addLine = [&](std::string line) {
    if (!line.empty() && line[0] == '.') line.insert(0, 1, '.');
    if (buffer.size() + line.size() >= kDataBatchBytes && !buffer.empty()) {
      batches.push_back(std::move(buffer));
      buffer.clear();
    }
    buffer += line;
    buffer += "\r\n";
  };
  for (const std::string& line : lines) {
    if (!HasLineBreak(line)) {
      addLine(line);
      continue;
    }
    size_t start = 0;
    TLineEnd end;
    while (FindLineEnd(line, end, start)) {
      addLine(line.substr(start, end.Pos - start));
      start = end.Pos + end.Length;
    }
    if (start < line.size()) addLine(line.substr(start));
  }
  if (!buffer.empty()) batches.push_back(std::move(buffer));
  return batches;
}

} // namespace smtp
