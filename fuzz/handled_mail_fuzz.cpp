// The handled-mail record as it lies on disk: whatever the bytes, the
// bounds hold, and what parses is written back to bytes that parse to the
// same record.
#include "fuzz/FuzzCheck.h"
#include "pop3/HandledMail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<HandledMailRecord> record = ParseHandledMail(AsText(data, size));
  if (!record) return 0;
  FUZZ_CHECK(record->ids.size() <= kMaxHandledIds);
  FUZZ_CHECK(record->wrongPinsS.size() <= kMaxKeptWrongPins);
  FUZZ_CHECK(record->lockedUntilS >= 0);
  for (const std::string& id : record->ids)
    FUZZ_CHECK(!id.empty() && id.size() <= kMaxHandledIdBytes && id.find('\n') == std::string::npos);
  const std::string written = HandledMailText(*record);
  const std::optional<HandledMailRecord> again = ParseHandledMail(written);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->ids == record->ids && again->wrongPinsS == record->wrongPinsS &&
             again->lockedUntilS == record->lockedUntilS);
  FUZZ_CHECK(HandledMailText(*again) == written);
  return 0;
}
