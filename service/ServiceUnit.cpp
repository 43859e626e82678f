#include "service/ServiceUnit.h"

#include <cctype>
#include <cstdio>

std::string SystemdEscape(const std::string& instance) {
  std::string out;
  for (size_t i = 0; i < instance.size(); ++i) {
    const auto c = static_cast<unsigned char>(instance[i]);
    if (c == '/') {
      out.push_back('-');
    } else if (std::isalnum(c) || c == ':' || c == '_' || (c == '.' && i > 0)) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

namespace {
// In single quotes a shell takes everything as it is but the quote itself.
std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
} // namespace

std::string ServiceCommand(const std::string& verb, const std::string& profile) {
  const std::string head = "systemctl --user " + verb + " ";
  if (SystemdEscape(profile) == profile) return head + "vardocam@" + profile;
  return head + "\"vardocam@$(systemd-escape " + ShellQuoted(profile) + ")\"";
}
