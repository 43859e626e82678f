#pragma once
#include <optional>
#include <string>

#include "mail/AlertMail.h"

// One kept mail as its file holds it:
//   vardocam-outbox 1
//   from=<envelope sender>
//   to=<envelope recipient>
//   refused=<tries the server refused for good>
//   <empty line>
//   <the message, as it goes after DATA>
struct OutboxEntry {
  PreparedMail mail;
  int refused = 0;
};

constexpr char kOutboxFirstLine[] = "vardocam-outbox 1";
// A refusal count read back is cut here: no real mail gets near it, and one
// more try added to it cannot overflow.
constexpr int kOutboxRefusedCeiling = 1 << 20;

// The file's bytes for an entry.
std::string OutboxEntryText(const OutboxEntry& entry);
// The entry in a file's bytes; nothing, and why in `why` (Japanese, for a
// notice), when they are not one of ours or hold no message.
std::optional<OutboxEntry> ParseOutboxEntry(const std::string& bytes, std::string* why = nullptr);
