// Commands by mail: a received header, its Subject decoded and read as a
// command. The decoding grows a text by a bounded factor and leaves text
// with nothing encoded as it was; a sender address is one plain address
// with nothing around it; a command word parses the same in any width, a PIN
// matches only as a whole word, and a snooze's minutes stay in range.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "mail/HeaderDecode.h"
#include "monitor/MailCommand.h"

namespace {
// UTF-16 and UTF-32 words may take 2 bytes to 3 of UTF-8, raw ISO-2022-JP
// 2 to 3; nothing grows more than this.
constexpr size_t kMostGrowth = 4;
constexpr size_t kSlack = 16;

// Every word of every command, with the command's argument rule.
struct Word {
  std::string text;
  CommandArgument argument;
};
const std::vector<Word>& CommandWords() {
  static const std::vector<Word> words = [] {
    std::vector<Word> all;
    for (const MailCommand& command : MailCommands())
      for (const char* word : command.words) all.push_back({word, command.argument});
    return all;
  }();
  return words;
}

// Printable ASCII as its full-width twin, the blank as the ideographic space.
std::string FullWidth(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    const unsigned cp = c == ' ' ? 0x3000 : 0xFF01 + static_cast<unsigned>(c - '!');
    if (c != ' ' && (c < '!' || c > '~')) {
      out.push_back(c);
      continue;
    }
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return out;
}

bool Ascii(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

bool SameParse(const CommandSubject& a, const CommandSubject& b) {
  return a.kind == b.kind && a.pinOk == b.pinOk && a.minutesOk == b.minutesOk &&
         (!a.minutesOk || a.minutes == b.minutes);
}

void CheckSubject(const std::string& subject, const std::string& pin) {
  const CommandSubject parsed = ParseCommandSubject(subject, pin);
  if (parsed.kind == MailCommandKind::None || pin.empty()) FUZZ_CHECK(!parsed.pinOk);
  const MailCommand* command = FindMailCommand(parsed.kind);
  if (command && command->argument == CommandArgument::Minutes && parsed.minutesOk)
    FUZZ_CHECK(parsed.minutes >= 1 && parsed.minutes <= kMaxSnoozeMinutes);
  // A PIN with a blank in it can never be one word of the subject.
  if (pin.find_first_of(" \t") != std::string::npos) FUZZ_CHECK(!parsed.pinOk);
  if (Ascii(subject)) FUZZ_CHECK(SameParse(ParseCommandSubject(FullWidth(subject), pin), parsed));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string pin = in.ConsumeRandomLengthString(16);
  const Word& word = CommandWords()[in.ConsumeIntegralInRange<size_t>(0, CommandWords().size() - 1)];
  const bool lower = in.ConsumeBool();
  const int minutes = in.ConsumeIntegralInRange<int>(-2, kMaxSnoozeMinutes + 2);
  const std::string header = in.ConsumeRemainingBytesAsString();

  for (const std::string& value : HeaderFields(header, "Subject")) {
    FUZZ_CHECK(value.find('\n') == std::string::npos && value.size() <= header.size());
    const std::string decoded = DecodeHeaderText(value);
    FUZZ_CHECK(decoded.size() <= kMostGrowth * value.size() + kSlack);
    if (value.find("=?") == std::string::npos && value.find('\x1b') == std::string::npos)
      FUZZ_CHECK(decoded == value);
    CheckSubject(decoded, pin);
  }
  for (const std::string& value : HeaderFields(header, "From")) {
    const std::string address = SenderAddress(value);
    if (address.empty()) continue;
    FUZZ_CHECK(address.size() <= kMaxSenderAddressBytes && address.size() <= value.size());
    FUZZ_CHECK(address.find_first_of(" <>(),;:\"\\\t") == std::string::npos && address.find('@') != 0);
    FUZZ_CHECK(SenderAllowed(address, " x@y.z ," + address));
  }
  CheckSubject(header, pin);

  // A well-formed command with a PIN of one plain word is always obeyed.
  if (!pin.empty() && pin.find_first_of(" \t") == std::string::npos && Ascii(pin) && pin.find('\0') == std::string::npos) {
    const bool snooze = word.argument == CommandArgument::Minutes;
    std::string text = word.text;
    // English words in any case.
    if (lower)
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string subject = text + " " +
                                (snooze ? std::to_string(minutes) + " " : "") + pin + " " + header.substr(0, 32);
    const CommandSubject parsed = ParseCommandSubject(subject, pin);
    FUZZ_CHECK(parsed.kind != MailCommandKind::None && parsed.pinOk);
    if (snooze) FUZZ_CHECK(parsed.minutesOk == (minutes >= 1 && minutes <= kMaxSnoozeMinutes));
  }
  return 0;
}
