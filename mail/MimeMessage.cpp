#include "mail/MimeMessage.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/TextTrim.h"

namespace {

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(s[i])) != static_cast<unsigned char>(prefix[i]))
      return false;
  return true;
}


std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ErrorText(const std::string& path, int errorNumber) {
  return "添付ファイル \"" + path + "\" を読み込めません (" + std::strerror(errorNumber) + ")";
}

// Reads the whole file; errno-style code on failure, 0 on success.
int ReadWholeFile(const std::string& path, std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  bytes.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return err;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

std::string JoinAddresses(const std::vector<std::string>& list, TMimeCharset cs) {
  std::string out;
  for (const std::string& a : list) {
    if (!out.empty()) out += ", ";
    out += InlineEmailEx(a, cs);
  }
  return out;
}

} // namespace

EMimeFileError::EMimeFileError(const std::string& path, int errorNumber)
    : std::runtime_error(ErrorText(path, errorNumber)), fileName_(path), errorNumber_(errorNumber) {}

TMimePart* TMimeMessage::NewPart(TMimePart* parent) {
  if (!parent) {
    MessagePart.Clear();
    return &MessagePart;
  }
  return &parent->AddSubPart();
}

TMimePart* TMimeMessage::AddPartMultipart(const std::string& subtype, TMimePart* parent) {
  TMimePart* part = NewPart(parent);
  part->SetPrimary("Multipart");
  part->Secondary = subtype;
  part->Description = "Multipart message";
  part->Boundary = GenerateBoundary();
  part->EncodePartHeader();
  return part;
}

TMimePart* TMimeMessage::AddPartText(const std::vector<std::string>& lines, TMimePart* parent) {
  TMimePart* part = NewPart(parent);
  for (const std::string& line : lines) {
    part->DecodedLines += line;
    part->DecodedLines += "\r\n";
  }
  part->SetPrimary("text");
  part->Secondary = "plain";
  part->Description = "Message text";
  part->Disposition = "inline";
  part->CharsetCode = IdealCharsetCoding(part->DecodedLines, part->TargetCharset, IdealCharsets());
  part->EncodingCode = ME_QUOTED_PRINTABLE;
  part->EncodePart();
  part->EncodePartHeader();
  return part;
}

TMimePart* TMimeMessage::AddPartBinaryFromFile(const std::string& path, TMimePart* parent) {
  std::string bytes;
  const int err = ReadWholeFile(path, bytes);
  if (err != 0) throw EMimeFileError(path, err);
  return AddPartBinary(std::move(bytes), BaseName(path), parent);
}

TMimePart* TMimeMessage::AddPartBinary(std::string bytes, const std::string& fileName,
                                       TMimePart* parent) {
  TMimePart* part = NewPart(parent);
  part->DecodedLines = std::move(bytes);
  part->MimeTypeFromExt(fileName);
  part->Description = "Attached file: " + fileName;
  part->Disposition = "attachment";
  part->FileName = fileName;
  part->EncodingCode = ME_BASE64;
  part->EncodePart();
  part->EncodePartHeader();
  return part;
}

void TMimeMessage::EncodeHeaders(std::vector<std::string>& lines) {
  TMessageHeader& h = Header;
  const TMimeCharset cs = h.CharsetCode;
  if (h.Date == 0) h.Date = std::time(nullptr);
  std::vector<std::string> out;
  // An encoded word stands bare before the address: inside quotes a reader
  // would show it undecoded.
  out.push_back("From: " + (h.FromName.empty() ? InlineEmailEx(h.From, cs)
                                                : InlineCodeEx(h.FromName, cs) + " <" + GetEmailAddr(h.From) + ">"));
  if (!h.ToList.empty()) out.push_back("To: " + JoinAddresses(h.ToList, cs));
  if (!h.Subject.empty()) out.push_back("Subject: " + InlineCodeEx(h.Subject, cs));
  out.push_back("Date: " + Rfc822DateTime(h.Date));
  if (!h.CCList.empty()) out.push_back("CC: " + JoinAddresses(h.CCList, cs));
  if (!h.Organization.empty()) out.push_back("Organization: " + InlineCodeEx(h.Organization, cs));
  out.push_back("MIME-Version: 1.0 (produced by Vardocam)");
  out.push_back(h.XMailer.empty() ? std::string("X-mailer: Vardocam mail composer")
                                  : "X-mailer: " + h.XMailer);
  const std::string id = Trim(h.MessageID);
  if (!id.empty()) out.push_back("Message-ID: <" + id + ">");
  if (!h.ReplyTo.empty()) out.push_back("Reply-To: " + GetEmailAddr(h.ReplyTo));
  if (h.Priority == MP_high) {
    out.push_back("Priority: urgent");
    out.push_back("X-Priority: 1");
    out.push_back("X-MSMAIL-Priority: High");
  } else if (h.Priority == MP_low) {
    out.push_back("Priority: non-urgent");
    out.push_back("X-Priority: 5");
    out.push_back("X-MSMAIL-Priority: low");
  }
  out.insert(out.end(), h.CustomHeaders.begin(), h.CustomHeaders.end());
  // Texts taken as they stand must not smuggle in lines of their own.
  for (std::string& line : out)
    std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  lines.insert(lines.end(), out.begin(), out.end());
}

void TMimeMessage::EncodeMessage() {
  std::vector<std::string> headers;
  EncodeHeaders(headers);
  for (const char* name : {"CONTENT-TYPE", "CONTENT-DESCRIPTION", "CONTENT-DISPOSITION",
                           "CONTENT-ID", "CONTENT-TRANSFER-ENCODING"}) {
    for (const std::string& line : MessagePart.Headers) {
      if (StartsWithNoCase(line, name)) {
        headers.push_back(line);
        break;
      }
    }
  }
  MessagePart.Headers = std::move(headers);
  MessagePart.ComposeParts();
  Lines = std::move(MessagePart.Lines);  // handed on whole, as from a sub-part
  MessagePart.Lines.clear();
}

std::string Rfc822DateTime(std::time_t when) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  localtime_r(&when, &local);
  const long offset = local.tm_gmtoff;
  const long minutes = std::labs(offset) / 60;
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday],
                local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return text;
}
