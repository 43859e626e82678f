#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {
namespace fs = std::filesystem;

const char kAppId[] = "org.korvane.Vardocam";
// Generous for a loaded 2-core machine.
constexpr int kInstallLimitMs = 60000;
constexpr int kValidateLimitMs = 30000;
constexpr int kStartLimitMs = 10000;

// The keys of the [Desktop Entry] group.
std::map<std::string, std::string> DesktopEntry(const std::string& path) {
  std::map<std::string, std::string> keys;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) keys[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return keys;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::string ToolPath(const std::string& name) {
  for (const char* dir : {"/usr/bin", "/usr/local/bin"}) {
    const std::string path = std::string(dir) + "/" + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// One installed tree for every case here.
class InstallTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    prefix_ = new TempDir;
    ChildProcess::Options options;
    options.outputFile = prefix_->File("install.log");
    ChildProcess install({VARDOCAM_CMAKE, "--install", VARDOCAM_BUILD_DIR, "--prefix",
                          prefix_->Path()},
                         options);
    installed_ = install.Wait(kInstallLimitMs) == std::optional<int>(0);
  }
  static void TearDownTestSuite() {
    delete prefix_;
    prefix_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(installed_) << ReadFileBytes(prefix_->File("install.log"));
  }
  static std::string Installed(const std::string& relative) { return prefix_->File(relative); }
  static std::string DesktopFile() {
    return Installed(std::string("share/applications/") + kAppId + ".desktop");
  }
  static std::string MetainfoFile() {
    return Installed(std::string("share/metainfo/") + kAppId + ".metainfo.xml");
  }

  static TempDir* prefix_;
  static bool installed_;
};
TempDir* InstallTest::prefix_ = nullptr;
bool InstallTest::installed_ = false;

TEST_F(InstallTest, EveryFileLiesInItsStandardPlace) {
  EXPECT_EQ(::access(Installed("bin/vardocam").c_str(), X_OK), 0);
  for (const char* name : {"start.jpg", "Alarm.wav"})
    EXPECT_EQ(ReadFileBytes(Installed(std::string("share/vardocam/") + name)),
              ReadFileBytes(std::string(VARDOCAM_SOURCE_DIR) + "/assets/" + name))
        << name;
  const std::string icon =
      Installed(std::string("share/icons/hicolor/32x32/apps/") + kAppId + ".png");
  EXPECT_EQ(ReadFileBytes(icon), ReadFileBytes(std::string(VARDOCAM_SOURCE_DIR) + "/assets/icon.png"));

  // The entry, its icon and the description name one another.
  const auto entry = DesktopEntry(DesktopFile());
  ASSERT_TRUE(entry.count("Exec")) << DesktopFile();
  EXPECT_EQ(entry.at("Icon"), kAppId);
  EXPECT_EQ(entry.at("Name"), "防犯カメラ・ヴァルド");
  const std::string metainfo = ReadFileBytes(MetainfoFile());
  EXPECT_NE(metainfo.find(std::string("<id>") + kAppId + "</id>"), std::string::npos);
  EXPECT_NE(metainfo.find(std::string(">") + kAppId + ".desktop</launchable>"), std::string::npos);
}

TEST_F(InstallTest, MenuEntryAndDescriptionPassTheirValidators) {
  const std::string desktopValidate = ToolPath("desktop-file-validate");
  const std::string appstream = ToolPath("appstreamcli");
  if (desktopValidate.empty() || appstream.empty())
    GTEST_SKIP() << "desktop-file-validate or appstreamcli is not installed "
                    "(packages desktop-file-utils, appstream)";
  TempDir logs;
  ChildProcess::Options options;
  options.outputFile = logs.File("desktop.log");
  ChildProcess desktop({desktopValidate, DesktopFile()}, options);
  EXPECT_EQ(desktop.Wait(kValidateLimitMs), std::optional<int>(0))
      << ReadFileBytes(logs.File("desktop.log"));
  // Warnings fail too; --no-net keeps the check off the network.
  options.outputFile = logs.File("appstream.log");
  ChildProcess metainfo({appstream, "validate", "--no-net", MetainfoFile()}, options);
  EXPECT_EQ(metainfo.Wait(kValidateLimitMs), std::optional<int>(0))
      << ReadFileBytes(logs.File("appstream.log"));
}

TEST_F(InstallTest, ExecLineStartsAProgramThatWorksInItsPrivateFolder) {
  // A menu runs the Exec line through PATH from whatever folder it is in.
  std::vector<std::string> argv = Words(DesktopEntry(DesktopFile())["Exec"]);
  ASSERT_FALSE(argv.empty());
  ASSERT_EQ(argv[0].find('/'), std::string::npos) << argv[0];
  argv[0] = Installed("bin/" + argv[0]);
  ASSERT_EQ(::access(argv[0].c_str(), X_OK), 0) << argv[0];

  TempDir runtime, home, elsewhere;
  ChildProcess::Options options;
  options.workingFolder = elsewhere.Path();
  options.outputFile = home.File("program.log");
  options.env = {{"XDG_RUNTIME_DIR", runtime.Path()},
                 {"XDG_CONFIG_HOME", home.File("config")},
                 {"XDG_CACHE_HOME", home.File("cache")},
                 {"HOME", home.Path()},
                 {"QT_QPA_PLATFORM", "offscreen"}};
  ChildProcess program(argv, options);
  const std::string work = runtime.File("vardocam");
  const std::string cwd = "/proc/" + std::to_string(program.Pid()) + "/cwd";
  EXPECT_TRUE(WaitFor(kStartLimitMs, [&] {
    std::error_code failed;
    return fs::read_symlink(cwd, failed) == fs::path(work) || !program.Running();
  }));
  ASSERT_TRUE(program.Running()) << ReadFileBytes(home.File("program.log"));
  struct stat st {};
  ASSERT_EQ(::stat(work.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(ReadFileBytes(work + "/start.jpg"), ReadFileBytes(Installed("share/vardocam/start.jpg")));
  EXPECT_EQ(ReadFileBytes(work + "/Alarm.wav"), ReadFileBytes(Installed("share/vardocam/Alarm.wav")));
  EXPECT_TRUE(fs::is_empty(elsewhere.Path()));
  program.Stop();
}
} // namespace
