#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Pure pieces of the SMTP exchange: reply lines, capabilities and the
// message text as it goes on the wire.
namespace smtp {

constexpr size_t kDataBatchBytes = 1500; // message text is sent in batches of about this size

// The reply goes on after this line: its first hyphen is its fourth character.
bool ReplyContinues(const std::string& line);
// The three-digit code at the start of a line; 0 if there is none.
int ReplyCode(const std::string& line);
// The enhanced status code (class.subject.detail) after the reply code;
// false, with all three 0, when the line carries none.
bool ParseEnhancedCode(const std::string& line, int& codeClass, int& subject, int& detail);

// The capability lines of an EHLO reply: every line but the first, from its
// fifth character on.
std::vector<std::string> CapabilitiesOf(const std::vector<std::string>& ehloReply);
// The first capability whose text begins with name, letter case ignored.
std::string FindCapability(const std::vector<std::string>& caps, const std::string& name);
// The number after "SIZE "; 0 if none or not a number.
int SizeOfCapability(const std::string& sizeCap);

// After a failed AUTH exchange, whether another mechanism may follow: only
// when the server said it does not know the mechanism or command (500, 502,
// 504) or failed for the moment (4xx). Any other 5xx judged the credentials,
// and a second try would count as a second failed login against a lockout.
bool AuthMayTryAnotherMechanism(int code);

// True when word stands in the blank-separated list, letter case as given.
bool HasWord(const std::string& list, const std::string& word);

// The message lines as the sends that carry them: dot-stuffed, each line
// ended by CR LF, batched: the buffer goes out before a line whose text
// would bring it to kDataBatchBytes, so a line longer than that goes alone. A line holding line breaks of its own is split
// there, so it can neither end the message early nor send a bare CR or LF.
std::vector<std::string> DataBatches(const std::vector<std::string>& lines);

} // namespace smtp
