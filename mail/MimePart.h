#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/MimeCharset.h"

enum TMimePrimary { MP_TEXT = 0, MP_MULTIPART = 1, MP_MESSAGE = 2, MP_BINARY = 3 };

enum TMimeEncoding {
  ME_7BIT = 0,
  ME_8BIT = 1,
  ME_QUOTED_PRINTABLE = 2,
  ME_BASE64 = 3,
  ME_UU = 4,
  ME_XX = 5,
};

enum TMessagePriority { MP_unknown = 0, MP_low = 1, MP_normal = 2, MP_high = 3 };

// Longest header line before it is folded.
constexpr int kMimeMaxLineLength = 78;
// Bytes per base64 line: 54 bytes make 72 characters.
constexpr size_t kBase64LineBytes = 54;
// Tries of 1 ms each that GenerateBoundary waits for the tick counter to
// move; a clock that stands still must not hold the composer for ever.
constexpr int kBoundaryTickWaitLimit = 1000;

// One part of a MIME message: its header lines, its encoded body and, for
// a multipart, its sub-parts.
class TMimePart {
public:
  TMimePart();
  TMimePart(const TMimePart&) = delete;
  TMimePart& operator=(const TMimePart&) = delete;

  std::string Primary;
  std::string Encoding;
  std::string Charset;
  std::string DefaultCharset;
  TMimePrimary PrimaryCode = MP_TEXT;
  TMimeEncoding EncodingCode = ME_7BIT;
  TMimeCharset CharsetCode = ISO_8859_1;
  TMimeCharset TargetCharset;
  bool ConvertCharset = true;
  bool ForcedHTMLConvert = false;
  std::string Secondary;
  std::string Description;
  std::string Disposition;
  std::string ContentID;
  std::string Boundary;
  std::string FileName;
  std::vector<std::string> Lines;
  std::vector<std::string> PartBody;
  std::vector<std::string> Headers;
  std::vector<std::string> PrePart;
  std::vector<std::string> PostPart;
  std::string DecodedLines;  // the raw content
  int SubLevel = 0;
  int MaxSubLevel = -1;
  bool AttachInside = false;
  std::function<void(TMimePart&)> OnWalkPart;
  int MaxLineLength = kMimeMaxLineLength;

  const std::vector<std::unique_ptr<TMimePart>>& SubParts() const { return subParts_; }

  // Stores the media type and derives PrimaryCode from it.
  void SetPrimary(const std::string& primary);
  // Stores a transfer-encoding name and derives EncodingCode.
  void SetEncoding(const std::string& encoding);
  // Stores a charset name and derives CharsetCode.
  void SetCharset(const std::string& charset);

  // Empties every text, list and the content and frees the sub-parts.
  void Clear();
  // Appends a cleared sub-part that inherits the charset and nesting.
  TMimePart& AddSubPart();

  // Sets Primary and Secondary from a file name's extension.
  void MimeTypeFromExt(const std::string& fileName);

  void EncodePart();
  void EncodePartHeader();
  void ComposeParts();

private:
  std::string QuotedFileName() const;

  std::vector<std::unique_ptr<TMimePart>> subParts_;
  bool bodyHandedOn_ = false;  // PartBody went into Lines at the last composition
};

// "TTTTTTTT_RRRRRRRR_Vardocam_boundary": the tick count after it moved and
// a random number, both in upper-case hex.
std::string GenerateBoundary();

// The longest line a mail may hold at all; a header line is kept whole
// past maxLength rather than folded before its first word, up to this.
constexpr size_t kHeaderLineHardLimit = 998;

// Appends a header line folded to maxLength; continuation lines begin with
// the space where the line was cut. The first line holds the field's name
// and the first word of its value: folded right after the colon, the value
// would begin with a space that some readers show.
void FoldHeaderLine(const std::string& line, size_t maxLength, std::vector<std::string>& out);

// Splits at CR LF, LF or CR; a final line end adds no empty line.
std::vector<std::string> SplitLines(const std::string& text);
