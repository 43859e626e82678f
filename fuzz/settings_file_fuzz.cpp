// The settings file: whatever text is on disk, what we write back reads
// again as the same store, the settings loaded from it survive a save and
// a reload, and writing does not blow the text up.
#include "fuzz/FuzzCheck.h"
#include "settings/Vardocamdef.h"
#include "settings/ZBRegIni.h"

namespace {
// Never written: the stores below only parse and serialise.
const char kUnusedPath[] = "/proc/vardocam-fuzz/never-written.reg";
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = AsText(data, size);
  ZBRegIni first(kUnusedPath);
  first.ParseText(text);
  const std::string saved = first.Serialise();
  // Escapes at most double a byte; the header and section lines are re-made.
  FUZZ_CHECK(saved.size() <= 2 * text.size() + 128);

  ZBRegIni second(kUnusedPath);
  second.ParseText(saved);
  FUZZ_CHECK(second.Serialise() == saved);

  // The typed readers agree with what was stored, whatever the type.
  for (const char* name : {"CHECK_INTERVAL", "USE_OOTSU", "SOUND", "MAIL_PASSWORD"}) {
    FUZZ_CHECK(first.TypeOf("SETTING", name) == second.TypeOf("SETTING", name));
    FUZZ_CHECK(first.ReadInteger("SETTING", name, 7) == second.ReadInteger("SETTING", name, 7));
    FUZZ_CHECK(first.ReadString("SETTING", name, "-") == second.ReadString("SETTING", name, "-"));
    if (first.TypeOf("SETTING", name) == ZBRegIni::ValueType::None)
      FUZZ_CHECK(first.ReadInteger("SETTING", name, 7) == 7);
  }

  // The record loaded from it, saved into it and loaded again, is the same.
  typVardocam loaded;
  LoadSettingsFrom(first, loaded);
  SaveSettingsTo(first, loaded);
  second.ParseText(first.Serialise());
  typVardocam reloaded;
  LoadSettingsFrom(second, reloaded);
  ZBRegIni expected(kUnusedPath), actual(kUnusedPath);
  SaveSettingsTo(expected, loaded);
  SaveSettingsTo(actual, reloaded);
  FUZZ_CHECK(expected.Serialise() == actual.Serialise());
  // Nothing of this is meant for a file.
  for (ZBRegIni* store : {&first, &expected, &actual}) store->ParseText(std::string());
  return 0;
}
