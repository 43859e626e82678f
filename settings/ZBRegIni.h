#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// An INI-style view of the program's registry key, kept on Linux in a text
// file of the registry-export format: a section is a subkey, an ident a
// value name. Reads come from the file as it was when the store was made;
// writes collect in memory and reach the file, atomically, in UpdateFile.
class ZBRegIni {
public:
  enum class ValueType { None, DWord, String, Other };

  // The user's store: ${XDG_CONFIG_HOME:-$HOME/.config}/Korvane/Vardocam.reg
  ZBRegIni();
  // A store in the named file (tests, tools).
  explicit ZBRegIni(std::string filePath);
  // Writes what is still pending, as closing the registry key would.
  ~ZBRegIni();
  ZBRegIni(const ZBRegIni&) = delete;
  ZBRegIni& operator=(const ZBRegIni&) = delete;

  static std::string DefaultFilePath();
  const std::string& FilePath() const { return path_; }

  std::string ReadString(const std::string& section, const std::string& name,
                         const std::string& defaultValue) const;
  int32_t ReadInteger(const std::string& section, const std::string& name,
                      int32_t defaultValue) const;
  bool ReadBool(const std::string& section, const std::string& name, bool defaultValue) const;

  void WriteString(const std::string& section, const std::string& name, const std::string& value);
  // Written as a DWORD, or as a decimal string when the value already
  // exists as a string.
  void WriteInteger(const std::string& section, const std::string& name, int32_t value);
  void WriteBool(const std::string& section, const std::string& name, bool value);

  ValueType TypeOf(const std::string& section, const std::string& name) const;

  // Writes the whole store to its file: a temporary file in the same folder,
  // mode 0600, flushed and renamed over the old one. False when that could
  // not be completed; the previous file is then left as it was. Temporary
  // files of earlier saves that were killed half-way are removed first.
  bool UpdateFile();
  // Between the file's name and six random characters in a temporary file's
  // name ("Vardocam.reg.saving-Ab12Cd").
  static constexpr char kTempInfix[] = ".saving-";

  // Replaces the store's contents by those of a settings file's text, read
  // by the rules of the file (the reading half, apart from the disk).
  void ParseText(std::string content);
  // The store as the text of its file.
  std::string Serialise() const;

  // Settings files larger than this are read only up to it.
  static constexpr size_t kMaxFileBytes = 1u << 20;

private:
  struct Value {
    ValueType type = ValueType::None;
    uint32_t dword = 0;
    std::string text;  // the string, or the raw text of another type
  };
  struct Section {
    std::vector<std::string> order;
    std::map<std::string, Value> values;
  };

  void Load();
  const Value* Find(const std::string& section, const std::string& name) const;
  void Put(const std::string& section, const std::string& name, Value value);

  std::string path_;
  std::vector<std::string> sectionOrder_;
  std::map<std::string, Section> sections_;
  bool dirty_ = false;
};
