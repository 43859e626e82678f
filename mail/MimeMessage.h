#pragma once
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/MimeCharset.h"
#include "mail/MimePart.h"

// The message header: who, to whom, about what, when.
struct TMessageHeader {
  std::string From;
  // The sender's name before the From address, in the Subject's charset;
  // empty: the address alone.
  std::string FromName;
  std::vector<std::string> ToList;
  std::vector<std::string> CCList;
  std::string Subject;
  std::string Organization;
  std::vector<std::string> CustomHeaders;
  std::time_t Date = 0;  // 0: the time of encoding
  std::string XMailer;   // empty: the composer's own banner
  TMimeCharset CharsetCode = GetCurCP();
  std::string ReplyTo;
  std::string MessageID;
  TMessagePriority Priority = MP_unknown;
};

// An attachment that could not be read. The text names the file and the
// system's reason, so the exception box can show it as it stands.
class EMimeFileError : public std::runtime_error {
public:
  EMimeFileError(const std::string& path, int errorNumber);
  const std::string& FileName() const { return fileName_; }
  int ErrorNumber() const { return errorNumber_; }

private:
  std::string fileName_;
  int errorNumber_;
};

// A mail being composed: its header, its parts and, once encoded, its lines
// (without line ends) as they go after DATA.
class TMimeMessage {
public:
  TMessageHeader Header;
  TMimePart MessagePart;
  std::vector<std::string> Lines;

  // With no parent the root part is cleared and returned.
  TMimePart* AddPartMultipart(const std::string& subtype, TMimePart* parent);
  TMimePart* AddPartText(const std::vector<std::string>& lines, TMimePart* parent);
  // Throws EMimeFileError, adding no part, when the file cannot be read.
  TMimePart* AddPartBinaryFromFile(const std::string& path, TMimePart* parent);
  TMimePart* AddPartBinary(std::string bytes, const std::string& fileName, TMimePart* parent);

  void EncodeMessage();
  // Appends the message header lines to lines.
  void EncodeHeaders(std::vector<std::string>& lines);

private:
  TMimePart* NewPart(TMimePart* parent);
};

// "Sun, 6 Dec 2026 14:40:29 +0900" in the local time zone.
std::string Rfc822DateTime(std::time_t when);
