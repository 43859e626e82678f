#pragma once
#include <set>
#include <string>

// Every charset the mail composer can name. The values are fixed: texts
// and tables elsewhere refer to them by number.
enum TMimeCharset {
  ISO_8859_1 = 0,
  ISO_8859_2,
  ISO_8859_3,
  ISO_8859_4,
  ISO_8859_5,
  ISO_8859_6,
  ISO_8859_7,
  ISO_8859_8,
  ISO_8859_9,
  ISO_8859_10,
  ISO_8859_11,
  ISO_8859_13,
  ISO_8859_14,
  ISO_8859_15,
  ISO_8859_16,
  CP1250,
  CP1251,
  CP1252,
  CP1253,
  CP1254,
  CP1255,
  CP1256,
  KOI8_R = 22,
  CP1257,
  CP1258,
  UCS_2 = 25,
  UCS_4 = 26,
  UTF_8 = 27,
  UTF_16,
  UTF_7,
  UCS_2LE = 30,
  UCS_4LE = 31,
  UTF_16BE,
  UTF_16LE,
  UTF_32,
  UTF_32BE,
  UTF_32LE,
  UTF_7mod,
  US_ASCII,
  KOI8_U = 39,
  KOI8_RU,
  CP437,
  CP737,
  CP775,
  CP850,
  CP852,
  CP855,
  CP857,
  CP860,
  CP861,
  CP862,
  CP863,
  CP864,
  CP865,
  CP866,
  CP869,
  CP874,
  CP895,
  MAC_ROMAN,
  MAC_CENTRALEUROPE,
  MAC_ICELAND,
  MAC_CROATIAN,
  MAC_ROMANIA,
  MAC_CYRILLIC,
  MAC_UKRAINE,
  MAC_GREEK,
  MAC_TURKISH,
  MAC_HEBREW,
  MAC_ARABIC,
  MAC_THAI,
  HP_ROMAN8,
  NEXTSTEP,
  ARMSCII_8,
  GEORGIAN_ACADEMY,
  GEORGIAN_PS,
  EUC_JP,
  SHIFT_JIS = 76,
  CP932 = 77,
  ISO_2022_JP = 78,
  ISO_2022_JP_1,
  ISO_2022_JP_2,
  GB2312 = 81,
  CP936,
  GB18030,
  ISO_2022_CN,
  ISO_2022_CN_EXT,
  HZ,
  EUC_TW = 87,
  BIG5,
  CP950,
  BIG5_HKSCS,
  EUC_KR = 91,
  CP949,
  ISO_2022_KR,
  JOHAB,
  TIS_620,
  CP1133,
  MULELAO_1,
  VISCII,
  TCVN,
  PT154,
  RK1048,
  KOI8_T,
  EUC_JISX0213,
  SHIFT_JISX0213,
  ISO_2022_JP_3,
  CP1124,
  CP1125 = 107,
};

constexpr int kMimeCharsetCount = 108;

// A set of charsets; iteration runs in enumeration order, which is the
// order in which candidates are tried.
using TMimeCharsetSet = std::set<TMimeCharset>;

// The candidates for choosing the charset of a text.
const TMimeCharsetSet& IdealCharsets();

// All names of a charset, MIME name first, space-separated; empty for a
// value outside the enumeration.
const char* CharsetTableNames(TMimeCharset cs);

// The system charset from a Windows ANSI code page number.
TMimeCharset CharsetFromCodePage(unsigned codePage);
// The system charset: texts in this process are UTF-8.
TMimeCharset GetCurCP();

// MIME name of a charset ("ISO-8859-1" for one outside the table).
std::string GetIDFromCP(TMimeCharset cs);
// Charset of a name; an unknown name gives ISO_8859_1.
TMimeCharset GetCPFromID(const std::string& name);

// Converts through UCS-2 (big-endian); characters the target cannot hold
// are dropped, or transliterated when asked.
std::string CharsetConversion(const std::string& text, TMimeCharset from, TMimeCharset to,
                              bool transliterate = false);

// The first candidate that carries the text (its first 1,024 bytes) there
// and back unchanged; else the one that keeps most of it.
TMimeCharset IdealCharsetCoding(const std::string& text, TMimeCharset from,
                                const TMimeCharsetSet& candidates);

// Header texts.
bool NeedInline(const std::string& text);
std::string InlineCodeEx(const std::string& text, TMimeCharset cs);
std::string InlineEncode(const std::string& text, TMimeCharset from, TMimeCharset to);
std::string InlineEmailEx(const std::string& value, TMimeCharset cs);
std::string GetEmailAddr(const std::string& value);
std::string GetEmailDesc(const std::string& value);

// Whether glibc's iconv is used. Switched off, conversions behave as on a
// machine without a converter (built-in code and tables only). For tests.
void SetCharsetConverterEnabled(bool enabled);
bool CharsetConverterEnabled();
