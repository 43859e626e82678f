#include "mail/SmtpAuth.h"

#include "platform/Base64.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace smtp {
std::string HmacMd5Hex(const std::string& key, const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // HMAC itself replaces a key longer than the 64-byte block by its MD5.
  if (!HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length))
    return std::string();
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

std::string CramMd5Response(const std::string& user, const std::string& password,
                            const std::string& challengeBase64) {
  const std::string challenge = Base64Decode(challengeBase64);
  return Base64Encode(user + " " + HmacMd5Hex(password, challenge));
}

} // namespace smtp
