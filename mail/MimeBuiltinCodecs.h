#pragma once
#include <string>

// The conversions the composer can do without the system's converter.
// UCS-2 text is held as big-endian byte pairs, as the converter takes it.
namespace mimecodec {

std::string Utf8ToUcs2(const std::string& text);
std::string Ucs2ToUtf8(const std::string& ucs2);

// UTF-7, or with imap set the modified UTF-7 of mailbox names.
std::string Utf7ToUcs2(const std::string& text, bool imap);
std::string Ucs2ToUtf7(const std::string& ucs2, bool imap);

// Byte for byte as ISO-8859-1; characters above U+00FF are dropped.
std::string Latin1ToUcs2(const std::string& text);
std::string Ucs2ToLatin1(const std::string& ucs2);

// The Czech and Slovak "Kamenicky" code page (CP895), which glibc lacks.
std::string Cp895ToUcs2(const std::string& text);
std::string Ucs2ToCp895(const std::string& ucs2);

} // namespace mimecodec
