// Replacing a file whole: what a reader finds is the old file or the new
// one, the temporary never stays behind, and a failure says which file and
// the system's reason.
#include <cstring>
#include <filesystem>
#include <functional>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/AtomicFile.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {
unsigned Mode(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mode & 0777;
}
} // namespace

TEST(AtomicFile, ReplacesWholeOrLeavesTheOldFileAndSaysWhy) {
  struct Row {
    const char* what;
    std::string file;                                  // under the test's folder
    AtomicWrite how;                                   // temporary: under the folder too
    std::function<void(const std::string& folder)> before;
    int failure;                                       // errno named in the error; 0: written
    unsigned mode;
  } rows[] = {
      {"written and synced", "a.txt", {true, false, ""}, nullptr, 0, 0600},
      {"a temporary left with another mode", "a.txt", {false, true, ""},
       [](const std::string& folder) {
         WriteFileBytes(folder + "/a.txt.tmp", "old");
         chmod((folder + "/a.txt.tmp").c_str(), 0644);
       },
       0, 0600},
      {"a unique temporary", "a.reg", {true, true, "a.reg.saving-XXXXXX"}, nullptr, 0, 0600},
      {"a named temporary", "b.mail", {true, true, ".b.mail.tmp"}, nullptr, 0, 0600},
      {"no such folder", "gone/a.txt", {true, false, ""}, nullptr, ENOENT, 0},
      {"a folder in the way", "a.txt", {true, false, ""},
       [](const std::string& folder) { fs::create_directories(folder + "/a.txt/inside"); }, EISDIR, 0},
      {"a link as the temporary", "a.txt", {true, false, ""},
       [](const std::string& folder) { fs::create_symlink(folder + "/elsewhere", folder + "/a.txt.tmp"); },
       ELOOP, 0},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string folder = dir.File("f");
    fs::create_directories(folder);
    if (row.before) row.before(folder);
    if (!row.how.temporary.empty()) row.how.temporary = folder + "/" + row.how.temporary;
    const std::string path = folder + "/" + row.file;
    std::string error;
    const bool written = WriteFileAtomically(path, std::string("new"), row.how, &error);
    ASSERT_EQ(written, row.failure == 0) << error;
    if (written) {
      EXPECT_EQ(ReadFileBytes(path), "new");
      EXPECT_EQ(Mode(path), row.mode);
    } else {
      EXPECT_NE(error.find(std::strerror(row.failure)), std::string::npos) << error;
      EXPECT_NE(error.find(folder), std::string::npos) << error;
    }
    // Nothing but the file and what was there before: no temporary left.
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) names.push_back(entry.path().string());
    for (const std::string& name : names)
      EXPECT_TRUE(name == path || name.find("inside") != std::string::npos || (name == folder + "/a.txt.tmp" && !written))
          << name;
  }
}
