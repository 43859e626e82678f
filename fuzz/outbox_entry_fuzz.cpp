// A kept mail's file: whatever bytes are on disk, what parses writes back
// to bytes that parse to the same mail, and writing it again changes
// nothing; the refusal count stays within its bounds.
#include "fuzz/FuzzCheck.h"
#include "mail/OutboxEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = AsText(data, size);
  std::string why;
  const std::optional<OutboxEntry> entry = ParseOutboxEntry(bytes, &why);
  if (!entry) {
    FUZZ_CHECK(!why.empty());
    return 0;
  }
  FUZZ_CHECK(!entry->mail.text.empty());
  FUZZ_CHECK(entry->refused >= 0 && entry->refused <= kOutboxRefusedCeiling);
  FUZZ_CHECK(entry->mail.from.find('\n') == std::string::npos);
  FUZZ_CHECK(entry->mail.to.find('\n') == std::string::npos);
  // The message is what follows the header, byte for byte.
  FUZZ_CHECK(bytes.size() >= entry->mail.text.size() &&
             bytes.compare(bytes.size() - entry->mail.text.size(), std::string::npos, entry->mail.text) == 0);

  const std::string written = OutboxEntryText(*entry);
  const std::optional<OutboxEntry> again = ParseOutboxEntry(written);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->mail.from == entry->mail.from);
  FUZZ_CHECK(again->mail.to == entry->mail.to);
  FUZZ_CHECK(again->mail.text == entry->mail.text);
  FUZZ_CHECK(again->refused == entry->refused);
  FUZZ_CHECK(OutboxEntryText(*again) == written);
  return 0;
}
