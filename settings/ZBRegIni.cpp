#include "settings/ZBRegIni.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/AtomicFile.h"
#include "platform/TextNumber.h"

namespace {
const char kHeader[] = "Windows Registry Editor Version 5.00";
const char kRootKey[] = "HKEY_CURRENT_USER\\Software\\Korvane\\Vardocam";
const char kDwordPrefix[] = "dword:";

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

// Reads a quoted, backslash-escaped text starting at s[pos] == '"'.
// Returns false when the quotes do not close.
bool ParseQuoted(const std::string& s, size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  out.clear();
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\') {
      if (++pos >= s.size()) return false;
      c = s[pos];
      if (c == 'n') c = '\n';
      else if (c == 'r') c = '\r';
    }
    out.push_back(c);
  }
  return false;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
    case '\\': out += "\\\\"; break;
    case '"': out += "\\\""; break;
    // A line break inside a value would end the line in the file.
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    default: out.push_back(c);
    }
  }
  return out + "\"";
}

bool ParseHexDword(const std::string& s, uint32_t& out) {
  // Exactly eight digits, as written: a shorter one is a cut-off line.
  if (s.size() != 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  out = v;
  return true;
}

// A decimal number in 32-bit signed range, leading blanks allowed.
bool ParseDecimal(const std::string& s, int32_t& out) {
  const size_t digits = s.find_first_not_of(" \t");
  return digits != std::string::npos && TextToInt32(s.substr(digits), out);
}
} // namespace

ZBRegIni::ZBRegIni() : ZBRegIni(DefaultFilePath()) {}

ZBRegIni::ZBRegIni(std::string filePath) : path_(std::move(filePath)) { Load(); }

ZBRegIni::~ZBRegIni() {
  if (dirty_) UpdateFile();
}

std::string ZBRegIni::DefaultFilePath() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
    base = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    base = std::string(home) + "/.config";
  else
    base = ".";
  return base + "/Korvane/Vardocam.reg";
}

void ZBRegIni::Load() {
  std::ifstream in(path_, std::ios::binary);
  if (!in) return;
  std::string content(kMaxFileBytes, '\0');
  in.read(&content[0], static_cast<std::streamsize>(kMaxFileBytes));
  content.resize(static_cast<size_t>(in.gcount()));
  ParseText(std::move(content));
}

void ZBRegIni::ParseText(std::string content) {
  sectionOrder_.clear();
  sections_.clear();
  if (content.size() > kMaxFileBytes) content.resize(kMaxFileBytes);
  // A file cut at the limit: its last line is incomplete and is not read.
  if (content.size() == kMaxFileBytes) content.erase(content.find_last_of('\n') + 1);
  if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) content.erase(0, 3);

  const std::string rootPrefix = std::string(kRootKey) + "\\";
  std::istringstream lines(content);
  std::string line;
  const std::string* section = nullptr;  // values outside our key are ignored
  std::string currentSection;
  while (std::getline(lines, line)) {
    line = TrimRight(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      section = nullptr;
      if (line.back() != ']') continue;
      const std::string key = line.substr(1, line.size() - 2);
      if (key.compare(0, rootPrefix.size(), rootPrefix) != 0) continue;
      currentSection = key.substr(rootPrefix.size());
      if (currentSection.empty()) continue;
      section = &currentSection;
      if (!sections_.count(currentSection)) {
        sections_[currentSection];
        sectionOrder_.push_back(currentSection);
      }
      continue;
    }
    if (!section || line[0] != '"') continue;
    size_t pos = 0;
    std::string name;
    if (!ParseQuoted(line, pos, name) || pos >= line.size() || line[pos] != '=') continue;
    ++pos;
    Value value;
    const std::string rest = line.substr(pos);
    if (!rest.empty() && rest[0] == '"') {
      size_t p = 0;
      if (!ParseQuoted(rest, p, value.text) || p != rest.size()) continue;
      value.type = ValueType::String;
    } else if (rest.compare(0, sizeof kDwordPrefix - 1, kDwordPrefix) == 0) {
      if (!ParseHexDword(rest.substr(sizeof kDwordPrefix - 1), value.dword)) continue;
      value.type = ValueType::DWord;
    } else {
      // Binary and other types: kept as they stand, read as missing.
      value.type = ValueType::Other;
      value.text = rest;
    }
    Put(*section, name, value);
  }
  dirty_ = false;
}

const ZBRegIni::Value* ZBRegIni::Find(const std::string& section, const std::string& name) const {
  auto s = sections_.find(section);
  if (s == sections_.end()) return nullptr;
  auto v = s->second.values.find(name);
  return v == s->second.values.end() ? nullptr : &v->second;
}

void ZBRegIni::Put(const std::string& section, const std::string& name, Value value) {
  auto [s, newSection] = sections_.try_emplace(section);
  if (newSection) sectionOrder_.push_back(section);
  auto [v, newValue] = s->second.values.insert_or_assign(name, std::move(value));
  (void)v;
  if (newValue) s->second.order.push_back(name);
  dirty_ = true;
}

std::string ZBRegIni::ReadString(const std::string& section, const std::string& name,
                                 const std::string& defaultValue) const {
  const Value* v = Find(section, name);
  return v && v->type == ValueType::String ? v->text : defaultValue;
}

int32_t ZBRegIni::ReadInteger(const std::string& section, const std::string& name,
                              int32_t defaultValue) const {
  const Value* v = Find(section, name);
  if (!v) return defaultValue;
  if (v->type == ValueType::DWord) return static_cast<int32_t>(v->dword);
  int32_t parsed;
  if (v->type == ValueType::String && ParseDecimal(v->text, parsed)) return parsed;
  return defaultValue;
}

bool ZBRegIni::ReadBool(const std::string& section, const std::string& name,
                        bool defaultValue) const {
  return ReadInteger(section, name, defaultValue ? 1 : 0) != 0;
}

void ZBRegIni::WriteString(const std::string& section, const std::string& name,
                           const std::string& value) {
  Value v;
  v.type = ValueType::String;
  v.text = value;
  Put(section, name, std::move(v));
}

void ZBRegIni::WriteInteger(const std::string& section, const std::string& name, int32_t value) {
  if (TypeOf(section, name) == ValueType::String) {
    WriteString(section, name, std::to_string(value));
    return;
  }
  Value v;
  v.type = ValueType::DWord;
  v.dword = static_cast<uint32_t>(value);
  Put(section, name, std::move(v));
}

void ZBRegIni::WriteBool(const std::string& section, const std::string& name, bool value) {
  WriteString(section, name, value ? "1" : "0");
}

ZBRegIni::ValueType ZBRegIni::TypeOf(const std::string& section, const std::string& name) const {
  const Value* v = Find(section, name);
  return v ? v->type : ValueType::None;
}

std::string ZBRegIni::Serialise() const {
  std::string out = std::string(kHeader) + "\n\n[" + kRootKey + "]\n";
  for (const std::string& sectionName : sectionOrder_) {
    const Section& section = sections_.at(sectionName);
    out += "\n[" + std::string(kRootKey) + "\\" + sectionName + "]\n";
    for (const std::string& name : section.order) {
      const Value& v = section.values.at(name);
      out += Quote(name) + "=";
      char hex[16];
      switch (v.type) {
      case ValueType::DWord:
        std::snprintf(hex, sizeof hex, "%08x", v.dword);
        out += std::string(kDwordPrefix) + hex;
        break;
      case ValueType::String: out += Quote(v.text); break;
      default: out += v.text; break;
      }
      out += "\n";
    }
  }
  return out;
}

namespace {
// mkdir -p with owner-only folders, since the file holds passwords.
bool MakeFolders(const std::string& folder) {
  if (folder.empty()) return true;
  struct stat st{};
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash)))
    return false;
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// A temporary copy: our file's name, kTempInfix, and six letters or digits.
bool IsTemporaryName(const std::string& entry, const std::string& fileName) {
  const std::string prefix = fileName + ZBRegIni::kTempInfix;
  if (entry.size() != prefix.size() + 6 || entry.compare(0, prefix.size(), prefix) != 0)
    return false;
  for (size_t i = prefix.size(); i < entry.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(entry[i]))) return false;
  return true;
}

// Removes temporary copies that a save killed half-way left behind: they
// hold the passwords. A save in progress keeps a lock on its copy, so only
// copies whose writer is gone can be locked here; other people's files and
// anything that is not our own plain file are left alone.
void RemoveStaleTemporaries(const std::string& folder, const std::string& fileName) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* entry = readdir(dir)) {
    if (!IsTemporaryName(entry->d_name, fileName)) continue;
    const int fd =
        openat(dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened{}, named{};
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == geteuid() &&
        flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(dirfd(dir), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
      unlinkat(dirfd(dir), entry->d_name, 0);
    close(fd);
  }
  closedir(dir);
}
} // namespace

bool ZBRegIni::UpdateFile() {
  const size_t slash = path_.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash);
  if (!MakeFolders(folder)) return false;
  RemoveStaleTemporaries(folder, slash == std::string::npos ? path_ : path_.substr(slash + 1));

  // Owner-only: the file holds the mail passwords.
  const AtomicWrite how{true, true, path_ + kTempInfix + "XXXXXX"};
  if (!WriteFileAtomically(path_, Serialise(), how, nullptr)) return false;
  dirty_ = false;
  return true;
}
