#include "mail/HeaderDecode.h"

#include <openssl/evp.h>

#include <cctype>

#include "mail/MimeCharset.h"

namespace {
std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The header's lines, continuation lines already joined to the one before.
std::vector<std::string> UnfoldedLines(const std::string& header) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < header.size()) {
    size_t end = header.find('\n', at);
    if (end == std::string::npos) end = header.size();
    std::string line = header.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    at = end + 1;
    if (line.empty()) break;
    if (IsBlank(line[0]) && !lines.empty())
      lines.back() += line;
    else
      lines.push_back(line);
  }
  return lines;
}

bool DecodeBase64(const std::string& text, std::string& out) {
  if (text.empty()) {
    out.clear();
    return true;
  }
  if (text.size() % 4 != 0) return false;
  out.assign(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return false;
  // The block decoder counts the padding as zero bytes.
  size_t size = static_cast<size_t>(n);
  for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;
  out.resize(size);
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string DecodeQ(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out.push_back(' ');
    } else if (text[i] == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string ToUtf8(const std::string& bytes, const std::string& charset) {
  // "UTF-8*ja" names a language after the charset.
  std::string name = charset.substr(0, charset.find('*'));
  const TMimeCharset cs = GetCPFromID(name);
  if (cs == UTF_8) return bytes;
  return CharsetConversion(bytes, cs, UTF_8);
}

// Plain text between encoded words: raw ISO-2022-JP is recognised by its
// escape sequences.
std::string PlainToUtf8(const std::string& text) {
  if (text.find('\x1B') == std::string::npos) return text;
  return CharsetConversion(text, ISO_2022_JP, UTF_8);
}

// "=?charset?B|Q?text?=" at `at`: its charset, its bytes and its length.
bool EncodedWordAt(const std::string& raw, size_t at, std::string& charset, std::string& bytes,
                   size_t& length) {
  if (raw.compare(at, 2, "=?") != 0) return false;
  const size_t q1 = raw.find('?', at + 2);
  if (q1 == std::string::npos || q1 + 2 >= raw.size() || raw[q1 + 2] != '?') return false;
  const size_t end = raw.find("?=", q1 + 3);
  if (end == std::string::npos) return false;
  charset = raw.substr(at + 2, q1 - at - 2);
  const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(raw[q1 + 1])));
  const std::string text = raw.substr(q1 + 3, end - q1 - 3);
  if (charset.empty() || text.find(' ') != std::string::npos) return false;
  if (encoding == 'B') {
    if (!DecodeBase64(text, bytes)) return false;
  } else if (encoding == 'Q') {
    bytes = DecodeQ(text);
  } else {
    return false;
  }
  length = end + 2 - at;
  return true;
}
} // namespace

std::vector<std::string> HeaderFields(const std::string& header, const std::string& name) {
  std::vector<std::string> values;
  const std::string wanted = Lower(name);
  for (const std::string& line : UnfoldedLines(header)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (Lower(Trim(line.substr(0, colon))) == wanted) values.push_back(Trim(line.substr(colon + 1)));
  }
  return values;
}

std::string DecodeHeaderText(const std::string& raw) {
  std::string out;
  std::string plain;        // text since the last encoded word
  std::string charset;      // of the words whose bytes wait in `pending`
  std::string pending;
  bool afterWord = false;
  // Adjacent words of one charset are converted together: some mailers cut
  // a character's bytes across two words.
  auto flush = [&] {
    if (!pending.empty()) out += ToUtf8(pending, charset);
    pending.clear();
  };
  for (size_t at = 0; at < raw.size();) {
    std::string wordCharset;
    std::string bytes;
    size_t length = 0;
    if (!EncodedWordAt(raw, at, wordCharset, bytes, length)) {
      plain.push_back(raw[at++]);
      continue;
    }
    bool onlyBlanks = true;
    for (char c : plain) onlyBlanks = onlyBlanks && IsBlank(c);
    // Blanks between two encoded words are dropped.
    const bool joined = afterWord && onlyBlanks;
    if (!joined || Lower(wordCharset) != Lower(charset)) flush();
    if (!joined) out += PlainToUtf8(plain);
    plain.clear();
    charset = wordCharset;
    pending += bytes;
    afterWord = true;
    at += length;
  }
  flush();
  return out + PlainToUtf8(plain);
}

std::string SenderAddress(const std::string& fromValue) {
  std::string bare;   // the text outside quotes, comments and brackets
  std::string angle;  // inside the brackets
  int angles = 0;
  bool inAngle = false;
  bool inQuote = false;
  int commentDepth = 0;
  for (size_t i = 0; i < fromValue.size(); ++i) {
    const char c = fromValue[i];
    if (inQuote) {
      if (c == '\\') ++i;
      else if (c == '"') inQuote = false;
      continue;
    }
    if (commentDepth > 0) {
      if (c == '\\') ++i;
      else if (c == '(') ++commentDepth;
      else if (c == ')') --commentDepth;
      continue;
    }
    if (inAngle) {
      if (c == '>') inAngle = false;
      else angle.push_back(c);
      continue;
    }
    switch (c) {
      case '"': inQuote = true; break;
      case '(': commentDepth = 1; break;
      case '<':
        inAngle = true;
        ++angles;
        break;
      // A second address, or a group of them.
      case ',':
      case ';':
      case ':':
        return "";
      default: bare.push_back(c);
    }
  }
  if (inQuote || inAngle || commentDepth > 0 || angles > 1) return "";
  const std::string address = angles == 1 ? Trim(angle) : Trim(bare);
  if (address.empty() || address.size() > kMaxSenderAddressBytes) return "";
  // A second "@" makes no address a phone would send from.
  const size_t at = address.find('@');
  if (at == std::string::npos || at == 0 || at + 1 == address.size() || address.rfind('@') != at) return "";
  for (char c : address) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || c == '<' || c == '>' || c == '(' || c == ')' || c == '"' || c == '\\' ||
        c == ',' || c == ';' || c == ':')
      return "";
  }
  return address;
}
