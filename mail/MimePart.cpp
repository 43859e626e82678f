#include "mail/MimePart.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iterator>
#include <cstdio>
#include <random>

#include "platform/Base64.h"
#include "mail/QuotedPrintable.h"
#include "platform/Clock.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

struct ExtType {
  const char* ext;
  const char* primary;
  const char* secondary;
};

const ExtType kExtTypes[] = {
    {"AU", "audio", "basic"},          {"AVI", "video", "x-msvideo"},
    {"BMP", "image", "BMP"},           {"DOC", "application", "MSWord"},
    {"EPS", "application", "Postscript"}, {"GIF", "image", "GIF"},
    {"JPEG", "image", "JPEG"},         {"JPG", "image", "JPEG"},
    {"MID", "audio", "midi"},          {"MOV", "video", "quicktime"},
    {"MPEG", "video", "MPEG"},         {"MPG", "video", "MPEG"},
    {"MP2", "audio", "mpeg"},          {"MP3", "audio", "mpeg"},
    {"PDF", "application", "PDF"},     {"PNG", "image", "PNG"},
    {"PS", "application", "Postscript"}, {"QT", "video", "quicktime"},
    {"RA", "audio", "x-realaudio"},    {"RTF", "application", "RTF"},
    {"SND", "audio", "basic"},         {"TIF", "image", "TIFF"},
    {"TIFF", "image", "TIFF"},         {"WAV", "audio", "x-wav"},
    {"WPD", "application", "Wordperfect5.1"}, {"ZIP", "application", "ZIP"},
};

// Byte-order marks written before converted text in these charsets.
std::string ByteOrderMark(TMimeCharset cs) {
  switch (cs) {
  case UCS_2: return std::string("\xFE\xFF", 2);
  case UCS_4: return std::string("\x00\x00\xFE\xFF", 4);
  case UTF_8: return std::string("\xEF\xBB\xBF", 3);
  case UCS_2LE: return std::string("\xFF\xFE", 2);
  case UCS_4LE: return std::string("\xFF\xFE\x00\x00", 4);
  default: return std::string();
  }
}

// Position (from 1) of the last occurrence of pat lying wholly within the
// first n characters of s; 0 when there is none.
size_t LastWithin(const std::string& s, size_t n, const char* pat) {
  const size_t len = std::char_traits<char>::length(pat);
  if (n < len) return 0;
  const size_t at = s.rfind(pat, n - len);
  return at == std::string::npos ? 0 : at + 1;
}

} // namespace

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < n) lines.push_back(text.substr(start));
  return lines;
}

void FoldHeaderLine(const std::string& line, size_t maxLength, std::vector<std::string>& out) {
  std::string rest = line;
  // Where the value's first word ends: the first line is not cut before it.
  const size_t colon = line.find(':');
  const size_t value = colon == std::string::npos ? std::string::npos : line.find_first_not_of(' ', colon + 1);
  size_t firstWordEnd = value == std::string::npos ? 0 : std::min(line.find(' ', value), line.size());
  while (rest.size() >= maxLength) {
    const size_t semi = LastWithin(rest, maxLength, "; ");
    const size_t space = LastWithin(rest, maxLength, " ");
    const size_t comma = LastWithin(rest, maxLength, ", ");
    size_t cut;
    if (semi <= 1 && space <= 1 && comma <= 1) {
      const size_t next = rest.find(' ', 1);
      if (next == std::string::npos) break;  // nowhere to fold: kept whole
      cut = next;
    } else if (semi > 1) {
      cut = semi;  // after the semicolon
    } else if (comma > 1) {
      cut = comma;  // after the comma
    } else {
      cut = space - 1;  // before the space
    }
    if (cut < firstWordEnd) {
      // Before the next space after the first word, or nowhere; but never
      // into a line longer than a mail may hold.
      const size_t next = rest.find(' ', firstWordEnd);
      const size_t keep = next == std::string::npos ? rest.size() : next;
      if (keep > kHeaderLineHardLimit) {
        firstWordEnd = 0;
      } else if (next == std::string::npos) {
        break;
      } else {
        cut = next;
      }
    }
    firstWordEnd = 0;
    out.push_back(rest.substr(0, cut));
    rest.erase(0, cut);
  }
  if (!rest.empty()) out.push_back(std::move(rest));
}

std::string GenerateBoundary() {
  const uint32_t first = GetTickCount();
  uint32_t tick = first;
  for (int i = 0; i < kBoundaryTickWaitLimit && tick == first; ++i) {
    Sleep(1);
    tick = GetTickCount();
  }
  const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  std::mt19937 random(static_cast<uint32_t>(now) ^ static_cast<uint32_t>(now >> 32) ^ tick);
  std::uniform_int_distribution<uint32_t> draw(0, 0x7FFFFFFE);
  char text[64];
  std::snprintf(text, sizeof text, "%08X_%08X_Vardocam_boundary", tick, draw(random));
  return text;
}

TMimePart::TMimePart()
    : DefaultCharset(GetIDFromCP(GetCurCP())), TargetCharset(GetCurCP()) {}

void TMimePart::SetPrimary(const std::string& primary) {
  Primary = primary;
  const std::string up = Upper(primary);
  if (StartsWith(up, "TEXT")) PrimaryCode = MP_TEXT;
  else if (StartsWith(up, "MULTIPART")) PrimaryCode = MP_MULTIPART;
  else if (StartsWith(up, "MESSAGE")) PrimaryCode = MP_MESSAGE;
  else PrimaryCode = MP_BINARY;
}

void TMimePart::SetEncoding(const std::string& encoding) {
  Encoding = encoding;
  const std::string up = Upper(encoding);
  if (up == "8BIT") EncodingCode = ME_8BIT;
  else if (up == "QUOTED-PRINTABLE") EncodingCode = ME_QUOTED_PRINTABLE;
  else if (up == "BASE64") EncodingCode = ME_BASE64;
  else if (up == "X-UUE" || up == "X-UUENCODE" || up == "UUENCODE") EncodingCode = ME_UU;
  else if (up == "X-XXE" || up == "X-XXENCODE" || up == "XXENCODE") EncodingCode = ME_XX;
  else EncodingCode = ME_7BIT;
}

void TMimePart::SetCharset(const std::string& charset) {
  Charset = charset;
  CharsetCode = GetCPFromID(charset);
}

void TMimePart::Clear() {
  Primary.clear();
  Encoding.clear();
  Charset.clear();
  PrimaryCode = MP_TEXT;
  EncodingCode = ME_7BIT;
  CharsetCode = ISO_8859_1;
  TargetCharset = GetCurCP();
  ConvertCharset = true;
  Secondary.clear();
  Description.clear();
  Disposition.clear();
  ContentID.clear();
  Boundary.clear();
  FileName.clear();
  Lines.clear();
  PartBody.clear();
  Headers.clear();
  PrePart.clear();
  PostPart.clear();
  DecodedLines.clear();
  bodyHandedOn_ = false;
  subParts_.clear();
}

TMimePart& TMimePart::AddSubPart() {
  subParts_.push_back(std::make_unique<TMimePart>());
  TMimePart& part = *subParts_.back();
  part.Clear();
  part.DefaultCharset = DefaultCharset;
  part.SubLevel = SubLevel + 1;
  part.MaxSubLevel = MaxSubLevel;
  return part;
}

void TMimePart::MimeTypeFromExt(const std::string& fileName) {
  const size_t dot = fileName.rfind('.');
  const std::string ext = Upper(dot == std::string::npos ? fileName : fileName.substr(dot + 1));
  for (const ExtType& t : kExtTypes) {
    if (ext == t.ext) {
      SetPrimary(t.primary);
      Secondary = t.secondary;
      return;
    }
  }
  SetPrimary("application");
  Secondary = "octet-stream";
}

void TMimePart::EncodePart() {
  bodyHandedOn_ = false;
  if (EncodingCode == ME_UU || EncodingCode == ME_XX) EncodingCode = ME_BASE64;
  PartBody.clear();
  if (PrimaryCode == MP_MULTIPART || PrimaryCode == MP_MESSAGE) {
    PartBody = SplitLines(DecodedLines);
    return;
  }
  std::string converted;
  const std::string* bytes = &DecodedLines;
  if (PrimaryCode == MP_TEXT && ConvertCharset && EncodingCode != ME_7BIT) {
    converted = ByteOrderMark(CharsetCode) + CharsetConversion(DecodedLines, TargetCharset, CharsetCode);
    bytes = &converted;
  }
  if (EncodingCode == ME_BASE64) {
    PartBody.reserve(bytes->size() / kBase64LineBytes + 1);
    for (size_t at = 0; at < bytes->size(); at += kBase64LineBytes) {
      const size_t n = std::min(kBase64LineBytes, bytes->size() - at);
      PartBody.push_back(Base64Encode(bytes->data() + at, n));
    }
    return;
  }
  const std::vector<std::string> raw =
      PrimaryCode == MP_TEXT ? SplitLines(*bytes) : std::vector<std::string>{*bytes};
  if (EncodingCode != ME_QUOTED_PRINTABLE) {
    // 7bit and 8bit say the lines go as they are; quoting them would show
    // the reader "=XX" in place of the text.
    PartBody = raw;
    return;
  }
  for (const std::string& line : raw) QpCutLine(QpEncodeLine(line), PartBody);
  if (PrimaryCode == MP_BINARY && !PartBody.empty()) PartBody.back().push_back('=');
}

std::string TMimePart::QuotedFileName() const {
  std::string out = "\"";
  for (char c : InlineCodeEx(FileName, TargetCharset)) {
    out.push_back(c);
    if (c == '"') out.push_back('"');
  }
  out.push_back('"');
  return out;
}

void TMimePart::EncodePartHeader() {
  if (Secondary.empty()) {
    switch (PrimaryCode) {
    case MP_TEXT: Secondary = "plain"; break;
    case MP_MULTIPART: Secondary = "mixed"; break;
    case MP_MESSAGE: Secondary = "rfc822"; break;
    case MP_BINARY: Secondary = "octet-stream"; break;
    }
  }
  Headers.clear();
  std::string type = "Content-type: " + Primary + "/" + Secondary;
  if (PrimaryCode == MP_TEXT) type += "; charset=" + GetIDFromCP(CharsetCode);
  if (PrimaryCode == MP_MULTIPART) type += "; boundary=\"" + Boundary + "\"";
  if (!FileName.empty()) type += "; name=" + QuotedFileName();
  Headers.push_back(type);
  if (PrimaryCode == MP_TEXT || PrimaryCode == MP_BINARY) {
    static const char* const kNames[] = {"7bit", "8bit", "Quoted-printable", "Base64", "Base64", "Base64"};
    Headers.push_back(std::string("Content-Transfer-Encoding: ") + kNames[EncodingCode]);
  }
  if (!ContentID.empty()) Headers.push_back("Content-ID: " + ContentID);
  if (!Disposition.empty()) {
    std::string line = "Content-Disposition: " + Lower(Disposition);
    if (!FileName.empty()) line += "; FileName=" + QuotedFileName();
    Headers.push_back(line);
  }
  if (!Description.empty()) Headers.push_back("Content-Description: " + Description);
  // A line break inside a value would end the header early and let the
  // rest pass for a header of its own.
  for (std::string& h : Headers)
    std::replace_if(h.begin(), h.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
}

void TMimePart::ComposeParts() {
  size_t total = 2 * Headers.size() + PrePart.size() + PostPart.size() + PartBody.size() + 2;
  if (PrimaryCode == MP_MULTIPART) {
    for (const auto& sub : subParts_) {
      sub->ComposeParts();
      total += sub->Lines.size() + 1;
    }
  }
  Lines.clear();
  Lines.reserve(total);
  for (const std::string& h : Headers) FoldHeaderLine(h, static_cast<size_t>(MaxLineLength), Lines);
  Lines.emplace_back();
  if (PrimaryCode == MP_MULTIPART) {
    Lines.insert(Lines.end(), PrePart.begin(), PrePart.end());
    for (const auto& sub : subParts_) {
      Lines.push_back("--" + Boundary);
      // The sub-part's lines are handed on, not copied: an attachment makes
      // tens of thousands of them.
      Lines.insert(Lines.end(), std::make_move_iterator(sub->Lines.begin()),
                   std::make_move_iterator(sub->Lines.end()));
      sub->Lines.clear();
    }
    Lines.push_back("--" + Boundary + "--");
    Lines.insert(Lines.end(), PostPart.begin(), PostPart.end());
  }
  if (PrimaryCode != MP_MESSAGE) {
    // Likewise the body lines; a later composition encodes them afresh.
    if (bodyHandedOn_) EncodePart();
    Lines.insert(Lines.end(), std::make_move_iterator(PartBody.begin()),
                 std::make_move_iterator(PartBody.end()));
    PartBody.clear();
    bodyHandedOn_ = PrimaryCode != MP_MULTIPART;
  }
}
