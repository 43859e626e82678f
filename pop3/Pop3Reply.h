#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Reading POP3 replies from raw bytes, apart from any socket, so that every
// rule can be checked on plain strings.

// Longest reply line we keep waiting for, line end included. The standard
// allows 512; a server that sends more without a line end is cut off.
constexpr size_t kMaxReplyLineBytes = 8192;
// Most lines one reply may keep ("xyz-" continuation lines).
constexpr size_t kPop3MaxReplyLines = 512;
// Most bytes one reply may keep, all its lines together.
constexpr size_t kPop3MaxReplyBytes = 64 * 1024;

enum class TLineResult { Line, NeedMore, TooLong };

// Takes the first line out of `buffer`: everything up to the first LF, the
// LF removed and a CR just before it removed too. A line, or the unfinished
// rest of the buffer, longer than `maxBytes` is TooLong.
TLineResult TakeLine(std::string& buffer, std::string& line,
                     size_t maxBytes = kMaxReplyLineBytes);

// Removes blanks and control characters at both ends.
std::string TrimReplyLine(const std::string& line);

// 1 for "+OK", 0 for "-ERR" (either in any case), else the number formed by
// the first three characters, or 0 when they are not one.
int ReplyStatusOf(const std::string& line);

// One reply as it is assembled line by line.
struct TPop3Reply {
  std::vector<std::string> Lines;  // trimmed, never empty
  int Status = 0;                  // of the last line, once complete
  size_t Bytes = 0;                // held in Lines

  void Clear();
  // Adds one line as read from the wire; blank lines are skipped. True when
  // the reply is complete (Status is then set). Throws EPop3ReplyTooLong
  // beyond kPop3MaxReplyLines or kPop3MaxReplyBytes.
  bool AddLine(const std::string& rawLine);
  const std::string& LastLine() const;
};

// Longest unique id a server may give a message.
constexpr size_t kMaxUniqueIdBytes = 70;
// The id of a "+OK n id" answer to "UIDL n": empty unless it names message
// `number` and the id is 1 to kMaxUniqueIdBytes printable characters.
std::string ParseUniqueIdLine(const std::string& statusLine, int number);

// The message count of a STAT reply line: the decimal number between "+OK "
// and the next blank. Throws EPop3ConvertError when no blank follows it or
// the text there is no number.
int ParseMessageCount(const std::string& statusLine);
