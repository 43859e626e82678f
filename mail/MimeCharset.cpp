#include "mail/MimeCharset.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <iconv.h>
#include <map>
#include <sstream>
#include <vector>

#include "mail/MimeBuiltinCodecs.h"
#include "mail/QuotedPrintable.h"
#include "platform/TextTrim.h"

namespace {

// Holes in the enumeration would shift the fixed values.
static_assert(ISO_8859_10 == 9 && CP1256 + 1 == KOI8_R && CP1258 + 1 == UCS_2 &&
                  UTF_7 + 1 == UCS_2LE && US_ASCII + 1 == KOI8_U && EUC_JP + 1 == SHIFT_JIS &&
                  ISO_2022_JP_2 + 1 == GB2312 && HZ + 1 == EUC_TW &&
                  BIG5_HKSCS + 1 == EUC_KR && CP1124 + 1 == CP1125 &&
                  CP1125 + 1 == kMimeCharsetCount,
              "charset values are fixed");

struct CharsetEntry {
  TMimeCharset cs;
  const char* names;  // MIME name first
  const char* iconvName;  // nullptr: the MIME name
};

const CharsetEntry kCharsetTable[] = {
    {ISO_8859_1, "ISO-8859-1 CP819 IBM819 ISO-IR-100 ISO8859-1 ISO_8859-1 ISO_8859-1:1987 L1 LATIN1 CSISOLATIN1", nullptr},
    {ISO_8859_2, "ISO-8859-2 ISO-IR-101 ISO8859-2 ISO_8859-2 ISO_8859-2:1987 L2 LATIN2 CSISOLATIN2", nullptr},
    {ISO_8859_3, "ISO-8859-3 ISO-IR-109 ISO8859-3 ISO_8859-3 ISO_8859-3:1988 L3 LATIN3 CSISOLATIN3", nullptr},
    {ISO_8859_4, "ISO-8859-4 ISO-IR-110 ISO8859-4 ISO_8859-4 ISO_8859-4:1988 L4 LATIN4 CSISOLATIN4", nullptr},
    {ISO_8859_5, "ISO-8859-5 CYRILLIC ISO-IR-144 ISO8859-5 ISO_8859-5 ISO_8859-5:1988 CSISOLATINCYRILLIC", nullptr},
    {ISO_8859_6, "ISO-8859-6 ARABIC ASMO-708 ECMA-114 ISO-IR-127 ISO8859-6 ISO_8859-6 ISO_8859-6:1987 CSISOLATINARABIC", nullptr},
    {ISO_8859_7, "ISO-8859-7 ECMA-118 ELOT_928 GREEK GREEK8 ISO-IR-126 ISO8859-7 ISO_8859-7 ISO_8859-7:1987 CSISOLATINGREEK", nullptr},
    {ISO_8859_8, "ISO-8859-8 HEBREW ISO-IR-138 ISO8859-8 ISO_8859-8 ISO_8859-8:1988 CSISOLATINHEBREW", nullptr},
    {ISO_8859_9, "ISO-8859-9 ISO-IR-148 ISO8859-9 ISO_8859-9 ISO_8859-9:1989 L5 LATIN5 CSISOLATIN5", nullptr},
    {ISO_8859_10, "ISO-8859-10 ISO-IR-157 ISO8859-10 ISO_8859-10 ISO_8859-10:1992 L6 LATIN6 CSISOLATIN6", nullptr},
    {ISO_8859_11, "ISO-8859-11 ISO8859-11 ISO_8859-11", nullptr},
    {ISO_8859_13, "ISO-8859-13 ISO-IR-179 ISO8859-13 ISO_8859-13 L7 LATIN7", nullptr},
    {ISO_8859_14, "ISO-8859-14 ISO-CELTIC ISO-IR-199 ISO8859-14 ISO_8859-14 ISO_8859-14:1998 L8 LATIN8", nullptr},
    {ISO_8859_15, "ISO-8859-15 ISO-IR-203 ISO8859-15 ISO_8859-15 ISO_8859-15:1998 LATIN-9", nullptr},
    {ISO_8859_16, "ISO-8859-16 ISO-IR-226 ISO8859-16 ISO_8859-16 ISO_8859-16:2001 L10 LATIN10", nullptr},
    {CP1250, "WINDOWS-1250 CP1250 MS-EE", nullptr},
    {CP1251, "WINDOWS-1251 CP1251 MS-CYRL", nullptr},
    {CP1252, "WINDOWS-1252 CP1252 MS-ANSI", nullptr},
    {CP1253, "WINDOWS-1253 CP1253 MS-GREEK", nullptr},
    {CP1254, "WINDOWS-1254 CP1254 MS-TURK", nullptr},
    {CP1255, "WINDOWS-1255 CP1255 MS-HEBR", nullptr},
    {CP1256, "WINDOWS-1256 CP1256 MS-ARAB", nullptr},
    {KOI8_R, "KOI8-R CSKOI8R", nullptr},
    {CP1257, "WINDOWS-1257 CP1257 WINBALTRIM", nullptr},
    {CP1258, "WINDOWS-1258 CP1258", nullptr},
    {UCS_2, "UCS-2 ISO-10646-UCS-2 CSUNICODE UCS-2BE UNICODE-1-1 UNICODEBIG CSUNICODE11", "UCS-2BE"},
    {UCS_4, "UCS-4 ISO-10646-UCS-4 CSUCS4 UCS-4BE", "UCS-4BE"},
    {UTF_8, "UTF-8 UTF8", nullptr},
    {UTF_16, "UTF-16 UTF16", nullptr},
    {UTF_7, "UTF-7 UNICODE-1-1-UTF-7 CSUNICODE11UTF7", nullptr},
    {UCS_2LE, "UCS-2LE UNICODELITTLE", nullptr},
    {UCS_4LE, "UCS-4LE", nullptr},
    {UTF_16BE, "UTF-16BE", nullptr},
    {UTF_16LE, "UTF-16LE", nullptr},
    {UTF_32, "UTF-32", nullptr},
    {UTF_32BE, "UTF-32BE", nullptr},
    {UTF_32LE, "UTF-32LE", nullptr},
    {UTF_7mod, "UTF-7-IMAP", nullptr},
    {US_ASCII, "US-ASCII ANSI_X3.4-1968 ANSI_X3.4-1986 ASCII CP367 IBM367 ISO-IR-6 ISO646-US ISO_646.IRV:1991 US CSASCII", nullptr},
    {KOI8_U, "KOI8-U", nullptr},
    {KOI8_RU, "KOI8-RU", nullptr},
    {CP437, "IBM437 CP437 437 CSPC8CODEPAGE437", nullptr},
    {CP737, "CP737", nullptr},
    {CP775, "IBM775 CP775 CSPC775BALTIC", nullptr},
    {CP850, "IBM850 CP850 850 CSPC850MULTILINGUAL", nullptr},
    {CP852, "IBM852 CP852 852 CSPCP852", nullptr},
    {CP855, "IBM855 CP855 855 CSIBM855", nullptr},
    {CP857, "IBM857 CP857 857 CSIBM857", nullptr},
    {CP860, "IBM860 CP860 860 CSIBM860", nullptr},
    {CP861, "IBM861 CP861 861 CP-IS CSIBM861", nullptr},
    {CP862, "IBM862 CP862 862 CSPC862LATINHEBREW", nullptr},
    {CP863, "IBM863 CP863 863 CSIBM863", nullptr},
    {CP864, "IBM864 CP864 CSIBM864", nullptr},
    {CP865, "IBM865 CP865 865 CSIBM865", nullptr},
    {CP866, "IBM866 CP866 866 CSIBM866", nullptr},
    {CP869, "IBM869 CP869 869 CP-GR CSIBM869", nullptr},
    {CP874, "WINDOWS-874 CP874", nullptr},
    {CP895, "CP895 KAMENICKY KEYBCS2", nullptr},
    {MAC_ROMAN, "MACINTOSH MAC MACROMAN CSMACINTOSH", nullptr},
    {MAC_CENTRALEUROPE, "MACCENTRALEUROPE MAC-CENTRALEUROPE", "MAC-CENTRALEUROPE"},
    {MAC_ICELAND, "MACICELAND MAC-IS", "MAC-IS"},
    {MAC_CROATIAN, "MACCROATIAN", nullptr},
    {MAC_ROMANIA, "MACROMANIA", nullptr},
    {MAC_CYRILLIC, "MACCYRILLIC MAC-CYRILLIC", nullptr},
    {MAC_UKRAINE, "MACUKRAINE MAC-UK MACUKRAINIAN", nullptr},
    {MAC_GREEK, "MACGREEK", nullptr},
    {MAC_TURKISH, "MACTURKISH", nullptr},
    {MAC_HEBREW, "MACHEBREW", nullptr},
    {MAC_ARABIC, "MACARABIC", nullptr},
    {MAC_THAI, "MACTHAI", nullptr},
    {HP_ROMAN8, "HP-ROMAN8 R8 ROMAN8 CSHPROMAN8", nullptr},
    {NEXTSTEP, "NEXTSTEP", nullptr},
    {ARMSCII_8, "ARMSCII-8", nullptr},
    {GEORGIAN_ACADEMY, "GEORGIAN-ACADEMY", nullptr},
    {GEORGIAN_PS, "GEORGIAN-PS", nullptr},
    {EUC_JP, "EUC-JP EUCJP CSEUCPKDFMTJAPANESE EXTENDED_UNIX_CODE_PACKED_FORMAT_FOR_JAPANESE", nullptr},
    {SHIFT_JIS, "SHIFT_JIS MS_KANJI SHIFT-JIS SJIS CSSHIFTJIS", nullptr},
    {CP932, "CP932 WINDOWS-31J MS932 CSWINDOWS31J", nullptr},
    {ISO_2022_JP, "ISO-2022-JP CSISO2022JP", nullptr},
    {ISO_2022_JP_1, "ISO-2022-JP-1", nullptr},
    {ISO_2022_JP_2, "ISO-2022-JP-2 CSISO2022JP2", nullptr},
    {GB2312, "GB2312 CSGB2312 EUC-CN EUCCN CHINESE GB_2312-80 ISO-IR-58 CSISO58GB231280", nullptr},
    {CP936, "GBK CP936 MS936 WINDOWS-936", "CP936"},
    {GB18030, "GB18030", nullptr},
    {ISO_2022_CN, "ISO-2022-CN CSISO2022CN", nullptr},
    {ISO_2022_CN_EXT, "ISO-2022-CN-EXT", nullptr},
    {HZ, "HZ-GB-2312 HZ", nullptr},
    {EUC_TW, "EUC-TW EUCTW CSEUCTW", nullptr},
    {BIG5, "BIG5 BIG-5 BIG-FIVE BIGFIVE CN-BIG5 CSBIG5", nullptr},
    {CP950, "CP950", nullptr},
    {BIG5_HKSCS, "BIG5-HKSCS BIG5HKSCS", nullptr},
    {EUC_KR, "EUC-KR EUCKR CSEUCKR", nullptr},
    {CP949, "CP949 UHC", nullptr},
    {ISO_2022_KR, "ISO-2022-KR CSISO2022KR", nullptr},
    {JOHAB, "JOHAB CP1361", nullptr},
    {TIS_620, "TIS-620 TIS620 TIS620-0 TIS620.2529-1 TIS620.2533-0 TIS620.2533-1 ISO-IR-166", nullptr},
    {CP1133, "CP1133 IBM-CP1133", nullptr},
    {MULELAO_1, "MULELAO-1", nullptr},
    {VISCII, "VISCII VISCII1.1-1 CSVISCII", nullptr},
    {TCVN, "TCVN TCVN-5712 TCVN5712-1 TCVN5712-1:1993", nullptr},
    {PT154, "PT154 PTCP154 CP154 CYRILLIC-ASIAN CSPTCP154", nullptr},
    {RK1048, "RK1048 STRK1048-2002 KZ-1048 CSKZ1048", nullptr},
    {KOI8_T, "KOI8-T", nullptr},
    {EUC_JISX0213, "EUC-JISX0213", nullptr},
    {SHIFT_JISX0213, "SHIFT_JISX0213", nullptr},
    {ISO_2022_JP_3, "ISO-2022-JP-3", nullptr},
    {CP1124, "CP1124", nullptr},
    {CP1125, "CP1125", nullptr},
};

static_assert(sizeof(kCharsetTable) / sizeof(kCharsetTable[0]) == kMimeCharsetCount,
              "one table entry per charset");

const CharsetEntry* FindEntry(TMimeCharset cs) {
  const int i = static_cast<int>(cs);
  if (i < 0 || i >= kMimeCharsetCount) return nullptr;
  return &kCharsetTable[i];  // the table is in enumeration order
}

std::string FirstWord(const char* names) {
  std::string s(names);
  return s.substr(0, s.find(' '));
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}


std::atomic<bool> converterEnabled{true};

// Growth step of the output buffer of one conversion.
constexpr size_t kConvertChunkBytes = 4096;

// Runs one iconv conversion. Input the converter cannot take is dropped
// unit by unit (skipUnit bytes), like its "//IGNORE" mode, but without
// glibc's habit of stopping early after an ignored character; a character
// cut off at the end is dropped as well.
std::string RunIconv(iconv_t cd, const std::string& in, size_t skipUnit) {
  std::string out;
  out.resize(in.size() * 2 + 16);
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  size_t produced = 0;
  bool flushing = false;
  for (;;) {
    char* outPtr = &out[produced];
    size_t outLeft = out.size() - produced;
    const size_t r = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                              : iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const int err = errno;
    produced = out.size() - outLeft;
    if (r != static_cast<size_t>(-1)) {
      if (flushing) break;
      flushing = true;  // return a stateful encoder to its initial shift state
      continue;
    }
    if (err == E2BIG) {
      out.resize(out.size() + kConvertChunkBytes + out.size() / 2);
    } else if (err == EILSEQ && !flushing && inLeft > 0) {
      const size_t skip = inLeft < skipUnit ? inLeft : skipUnit;
      inPtr += skip;
      inLeft -= skip;
    } else if (!flushing) {
      flushing = true;  // EINVAL: an incomplete character at the end
    } else {
      break;
    }
  }
  out.resize(produced);
  return out;
}

std::string IconvName(TMimeCharset cs) {
  const CharsetEntry* e = FindEntry(cs);
  if (!e) return "ISO-8859-1";
  return e->iconvName ? e->iconvName : FirstWord(e->names);
}

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Converters opened on this thread, kept open: glibc loads and unloads its
// charset module on every open and close, which made choosing a charset
// (up to 64 conversions) cost milliseconds. Charsets it does not know are
// remembered as such.
class ConverterCache {
public:
  ~ConverterCache() {
    for (auto& entry : open_)
      if (entry.second != kNoConverter) iconv_close(entry.second);
  }
  iconv_t Get(const std::string& to, const std::string& from) {
    const std::string key = to + '\n' + from;
    auto it = open_.find(key);
    if (it == open_.end()) it = open_.emplace(key, iconv_open(to.c_str(), from.c_str())).first;
    if (it->second != kNoConverter) iconv(it->second, nullptr, nullptr, nullptr, nullptr);  // initial state
    return it->second;
  }

private:
  std::map<std::string, iconv_t> open_;
};

// The converter for one direction, or kNoConverter when there is none.
iconv_t OpenConverter(const std::string& to, const std::string& from) {
  if (!converterEnabled.load()) return kNoConverter;
  thread_local ConverterCache cache;
  return cache.Get(to, from);
}

bool Opened(iconv_t cd) { return cd != kNoConverter; }

std::string ToUcs2(const std::string& text, TMimeCharset from) {
  iconv_t cd = OpenConverter("UCS-2BE", IconvName(from));
  if (Opened(cd)) {
    return RunIconv(cd, text, 1);
  }
  switch (from) {
  case UTF_8: return mimecodec::Utf8ToUcs2(text);
  case UTF_7: return mimecodec::Utf7ToUcs2(text, false);
  case UTF_7mod: return mimecodec::Utf7ToUcs2(text, true);
  case CP895: return mimecodec::Cp895ToUcs2(text);
  default: return mimecodec::Latin1ToUcs2(text);
  }
}

std::string FromUcs2(const std::string& ucs2, TMimeCharset to, bool transliterate) {
  iconv_t cd = OpenConverter(IconvName(to) + (transliterate ? "//TRANSLIT" : ""), "UCS-2BE");
  if (Opened(cd)) {
    return RunIconv(cd, ucs2, 2);
  }
  switch (to) {
  case UTF_8: return mimecodec::Ucs2ToUtf8(ucs2);
  case UTF_7: return mimecodec::Ucs2ToUtf7(ucs2, false);
  case UTF_7mod: return mimecodec::Ucs2ToUtf7(ucs2, true);
  case CP895: return mimecodec::Ucs2ToCp895(ucs2);
  default: return mimecodec::Ucs2ToLatin1(ucs2);
  }
}

// Bytes of a text that the charset choice looks at.
constexpr size_t kIdealSampleBytes = 1024;

// The sample cut to whole characters, so that a character split by the
// cut does not spoil every round trip.
std::string IdealSample(const std::string& text, TMimeCharset from) {
  if (text.size() <= kIdealSampleBytes) return text;
  std::string sample = text.substr(0, kIdealSampleBytes);
  if (from == UTF_8) {
    size_t end = sample.size();
    size_t back = 0;
    while (back < 3 && end > back &&
           (static_cast<unsigned char>(sample[end - 1 - back]) & 0xC0) == 0x80)
      ++back;
    if (end > back) {
      const auto lead = static_cast<unsigned char>(sample[end - 1 - back]);
      const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (need > back + 1) sample.resize(end - 1 - back);
    }
  } else if (from == CP932 || from == SHIFT_JIS) {
    size_t i = 0;
    while (i < sample.size()) {
      const auto b = static_cast<unsigned char>(sample[i]);
      const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
      if (lead && i + 1 == sample.size()) {
        sample.resize(i);
        break;
      }
      i += lead ? 2 : 1;
    }
  }
  return sample;
}

bool IsInlineSpecial(char c) {
  switch (c) {
  case '=': case '(': case ')': case '[': case ']': case '<': case '>': case ':': case ';':
  case ',': case '/': case '?': case '\\': case '"': case '@':
    return true;
  default:
    return false;
  }
}

// Longest encoded word before the next space closes it.
constexpr size_t kEncodedWordSoftLength = 32;

// Line breaks in a header text would end the header line early.
std::string WithoutLineBreaks(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  return s;
}

} // namespace

const TMimeCharsetSet& IdealCharsets() {
  static const TMimeCharsetSet set = {ISO_8859_1, ISO_8859_2, ISO_8859_3, ISO_8859_4,
                                      ISO_8859_5, ISO_8859_6, ISO_8859_7, ISO_8859_8,
                                      ISO_8859_9, ISO_8859_10, KOI8_R,    KOI8_U,
                                      ISO_2022_JP, GB2312,    EUC_TW,     EUC_KR};
  return set;
}

const char* CharsetTableNames(TMimeCharset cs) {
  const CharsetEntry* e = FindEntry(cs);
  return e ? e->names : "";
}

TMimeCharset CharsetFromCodePage(unsigned codePage) {
  switch (codePage) {
  case 932: return CP932;
  case 1250: return CP1250;
  case 1251: return CP1251;
  case 1252: return CP1252;
  case 1253: return CP1253;
  case 1254: return CP1254;
  case 1255: return CP1255;
  case 1256: return CP1256;
  case 1257: return CP1257;
  case 1258: return CP1258;
  case 437: case 850: case 20127: case 28591: return ISO_8859_1;
  case 936: return CP936;
  case 949: return CP949;
  case 950: return CP950;
  case 50220: return ISO_2022_JP;
  case 65001: return UTF_8;
  case 0: case 1200: return UCS_2LE;
  case 1201: return UCS_2;
  case 12000: return UCS_4LE;
  case 12001: return UCS_4;
  case 65000: return UTF_7;
  case 852: return CP852;
  case 866: return CP866;
  case 874: return CP874;
  case 895: return CP895;
  case 1125: return CP1125;
  case 20866: return KOI8_R;
  case 21866: return KOI8_U;
  case 20932: case 51932: return EUC_JP;
  case 51949: return EUC_KR;
  case 52936: return HZ;
  case 54936: return GB18030;
  case 20936: return GB2312;
  case 28592: return ISO_8859_2;
  case 28593: return ISO_8859_3;
  case 28594: return ISO_8859_4;
  case 28595: return ISO_8859_5;
  case 28596: return ISO_8859_6;
  case 28597: return ISO_8859_7;
  case 28598: return ISO_8859_8;
  case 28599: return ISO_8859_9;
  case 28603: return ISO_8859_13;
  case 28605: return ISO_8859_15;
  case 50221: case 50222: return ISO_2022_JP;
  case 50225: return ISO_2022_KR;
  case 1361: return JOHAB;
  case 10000: return MAC_ROMAN;
  case 10007: return MAC_CYRILLIC;
  default: return CP1252;
  }
}

TMimeCharset GetCurCP() {
  // Linux has no ANSI code page: every text of this process is UTF-8.
  return CharsetFromCodePage(65001);
}

std::string GetIDFromCP(TMimeCharset cs) {
  if (cs == CP895) return "CP-895";
  if (cs == UTF_7mod) return "mUTF-7";
  const CharsetEntry* e = FindEntry(cs);
  return e ? FirstWord(e->names) : "ISO-8859-1";
}

TMimeCharset GetCPFromID(const std::string& name) {
  const std::string wanted = Upper(Trim(name));
  if (wanted.empty()) return ISO_8859_1;
  if (wanted.find("KAMENICKY") != std::string::npos || wanted.find("895") != std::string::npos)
    return CP895;
  if (wanted == "MUTF-7") return UTF_7mod;
  for (const CharsetEntry& e : kCharsetTable) {
    std::istringstream words(e.names);
    std::string word;
    while (words >> word)
      if (word == wanted) return e.cs;
  }
  return ISO_8859_1;
}

std::string CharsetConversion(const std::string& text, TMimeCharset from, TMimeCharset to,
                              bool transliterate) {
  if (from == to) return text;
  return FromUcs2(ToUcs2(text, from), to, transliterate);
}

TMimeCharset IdealCharsetCoding(const std::string& text, TMimeCharset from,
                                const TMimeCharsetSet& candidates) {
  const std::string sample = IdealSample(text, from);
  bool haveBest = false;
  TMimeCharset best = ISO_8859_1;
  size_t bestLength = 0;
  for (TMimeCharset cs : candidates) {
    const std::string back = CharsetConversion(CharsetConversion(sample, from, cs), cs, from);
    if (back == sample) return cs;
    if (!haveBest || back.size() > bestLength) {
      haveBest = true;
      best = cs;
      bestLength = back.size();
    }
  }
  return best;
}

bool NeedInline(const std::string& text) {
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b >= 0x7F || IsInlineSpecial(c)) return true;
  }
  return false;
}

std::string InlineEncode(const std::string& text, TMimeCharset from, TMimeCharset to) {
  const std::string encoded = QpEncodeHeaderSafe(CharsetConversion(text, from, to));
  std::vector<std::string> chunks;
  std::string chunk;
  for (char c : encoded) {
    if (c == ' ') {
      chunk.push_back('_');
      if (chunk.size() > kEncodedWordSoftLength) {
        chunks.push_back(chunk);
        chunk.clear();
      }
    } else {
      chunk.push_back(c);
    }
  }
  // A trailing empty word would only add "=?cs?Q??=".
  if (!chunk.empty() || chunks.empty()) chunks.push_back(chunk);
  const std::string name = GetIDFromCP(to);
  std::string out;
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (i) out.push_back(' ');
    out += "=?" + name + "?Q?" + chunks[i] + "?=";
  }
  return out;
}

std::string InlineCodeEx(const std::string& text, TMimeCharset cs) {
  if (!NeedInline(text)) return text;
  return InlineEncode(text, cs, IdealCharsetCoding(text, cs, IdealCharsets()));
}

std::string GetEmailDesc(const std::string& value) {
  const size_t q1 = value.find('"');
  if (q1 != std::string::npos) {
    const size_t q2 = value.find('"', q1 + 1);
    if (q2 != std::string::npos) return Trim(value.substr(q1 + 1, q2 - q1 - 1));
  }
  const size_t lt = value.find('<');
  if (lt != std::string::npos) {
    const std::string before = Trim(value.substr(0, lt));
    if (!before.empty()) return before;
  }
  const size_t p1 = value.find('(');
  if (p1 != std::string::npos) {
    const size_t p2 = value.find(')', p1 + 1);
    if (p2 != std::string::npos) return Trim(value.substr(p1 + 1, p2 - p1 - 1));
  }
  return std::string();
}

std::string GetEmailAddr(const std::string& value) {
  const size_t lt = value.find('<');
  if (lt != std::string::npos) {
    const size_t gt = value.find('>', lt + 1);
    if (gt != std::string::npos) return WithoutLineBreaks(Trim(value.substr(lt + 1, gt - lt - 1)));
  }
  // In "addr (Name)" or "\"Name\" addr" the description is no part of the
  // address.
  std::string rest = value;
  for (const char* pair : {"\"\"", "()"}) {
    const size_t open = rest.find(pair[0]);
    if (open == std::string::npos) continue;
    const size_t close = rest.find(pair[1], open + 1);
    if (close != std::string::npos) rest.erase(open, close - open + 1);
  }
  return WithoutLineBreaks(Trim(rest));
}

std::string InlineEmailEx(const std::string& value, TMimeCharset cs) {
  const std::string desc = GetEmailDesc(value);
  const std::string addr = GetEmailAddr(value);
  if (desc.empty()) return addr;
  return "\"" + InlineCodeEx(desc, cs) + "\" <" + addr + ">";
}

void SetCharsetConverterEnabled(bool enabled) { converterEnabled.store(enabled); }

bool CharsetConverterEnabled() { return converterEnabled.load(); }
