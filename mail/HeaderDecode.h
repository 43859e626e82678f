#pragma once
#include <cstddef>
#include <string>
#include <vector>

// Reading the header block of a received mail: the commands that come by
// mail are told by their Subject and From.

// The values of every field named `name` (any case), in order, each
// unfolded: the line break before a continuation line is removed. The block
// ends at its first empty line.
std::vector<std::string> HeaderFields(const std::string& header, const std::string& name);

// A header text as UTF-8: MIME encoded words (B or Q, in any charset the
// converter knows) decoded, and raw ISO-2022-JP as phones send it converted.
// A word that cannot be decoded stays as it was.
std::string DecodeHeaderText(const std::string& raw);

// The longest address taken as a sender: the most a mail path may carry.
constexpr size_t kMaxSenderAddressBytes = 254;

// The one address of a From value: the address proper between "<" and ">", else
// the bare address; the display name and comments never count. Empty when
// the value holds no address, more than one, or a malformed or overlong one.
std::string SenderAddress(const std::string& fromValue);
