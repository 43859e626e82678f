#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
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
// cpack checks the whole build tree, strips the program and runs dpkg-shlibdeps.
constexpr int kPackageLimitMs = 240000;
const int kIconSizes[] = {32, 48, 64, 128, 256};
// A user unit ordered after these waits for nothing: its manager has no
// network targets, and its sound.target only marks a sound card's arrival.
const char* const kTargetsAUserUnitCannotWaitFor[] = {"network.target", "network-online.target",
                                                     "sound.target"};

// The key=value lines of a desktop entry or a unit file.
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

// Runs a tool to its end within the time; a failure shows what it said.
::testing::AssertionResult Succeeds(const std::vector<std::string>& argv, const std::string& log,
                                    int limitMs,
                                    const std::map<std::string, std::string>& env = {}) {
  ChildProcess::Options options;
  options.outputFile = log;
  options.env = env;
  if (ChildProcess(argv, options).Wait(limitMs) == std::optional<int>(0))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << argv[0] << ": " << ReadFileBytes(log);
}

// The service unit of a tree whose files lie under `root` and are installed
// as `prefix`: it starts the program that very tree holds.
void ExpectUnitStartsItsTreesProgram(const std::string& root, const std::string& prefix) {
  const auto unit = DesktopEntry(root + prefix + "/lib/systemd/user/vardocam@.service");
  ASSERT_TRUE(unit.count("ExecStart")) << root << prefix;
  const std::string program = Words(unit.at("ExecStart"))[0];
  EXPECT_EQ(program, prefix + "/bin/vardocam");
  EXPECT_EQ(::access((root + program).c_str(), X_OK), 0) << root << program;
  for (const char* key : {"After", "Wants", "Requires"})
    for (const char* target : kTargetsAUserUnitCannotWaitFor)
      EXPECT_THAT(Words(unit.count(key) ? unit.at(key) : ""),
                  ::testing::Not(::testing::Contains(target)));
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
  // Every icon size is the drawing's render at that size, when a renderer is here.
  const std::string svg = std::string(VARDOCAM_SOURCE_DIR) + "/assets/icon.svg";
  const std::string hicolor = Installed("share/icons/hicolor/");
  const std::string rsvg = ToolPath("rsvg-convert");
  TempDir renders;
  for (int size : kIconSizes) {
    const std::string px = std::to_string(size), render = renders.File(px + ".png");
    const std::string icon = ReadFileBytes(hicolor + px + "x" + px + "/apps/" + kAppId + ".png");
    EXPECT_FALSE(icon.empty()) << size;
    if (rsvg.empty()) continue;
    ASSERT_TRUE(Succeeds({rsvg, "-w", px, "-h", px, "-o", render, svg}, "", kValidateLimitMs));
    EXPECT_TRUE(icon == ReadFileBytes(render)) << size << " px: run bash scripts/make_icons.sh";
  }

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
  EXPECT_TRUE(Succeeds({desktopValidate, DesktopFile()}, logs.File("desktop.log"), kValidateLimitMs));
  // The description also as built with a screenshot address.
  const std::string withScreenshots = logs.File("shots.xml"), source = VARDOCAM_SOURCE_DIR;
  ASSERT_TRUE(Succeeds({VARDOCAM_CMAKE, "-DIN=" + source + "/dist/" + kAppId + ".metainfo.xml.in",
                        "-DOUT=" + withScreenshots, "-DSCREENSHOT_URL=https://example.org/shots/",
                        "-P", source + "/dist/ConfigureMetainfo.cmake"},
                       logs.File("configure.log"), kValidateLimitMs));
  EXPECT_NE(ReadFileBytes(withScreenshots).find("<image>https://example.org/shots/main-window.png"),
            std::string::npos);
  // Warnings fail too; --no-net keeps the check off the network.
  for (const std::string& metainfo : {MetainfoFile(), withScreenshots})
    EXPECT_TRUE(Succeeds({appstream, "validate", "--no-net", metainfo}, logs.File("appstream.log"),
                         kValidateLimitMs));
}

TEST_F(InstallTest, ServiceUnitOfInstallAndPackageStartsTheProgramTheyInstall) {
  ExpectUnitStartsItsTreesProgram("", prefix_->Path());
  const std::string analyze = ToolPath("systemd-analyze"),
                    unit = Installed("lib/systemd/user/vardocam@.service");
  TempDir package, runtime;
  // A user manager needs its runtime folder even to verify.
  if (!analyze.empty()) {
    EXPECT_TRUE(Succeeds({analyze, "verify", "--user", unit}, runtime.File("verify.log"),
                         kValidateLimitMs, {{"XDG_RUNTIME_DIR", runtime.Path()}}));
  }

  // The .deb (cpack first brings the build tree up to date): its unit, its maintainer.
  ASSERT_TRUE(Succeeds({VARDOCAM_CPACK, "-G", "DEB", "-B", package.Path(), "--config",
                        std::string(VARDOCAM_BUILD_DIR) + "/CPackConfig.cmake"},
                       package.File("cpack.log"), kPackageLimitMs));
  std::string deb;
  for (const auto& entry : fs::directory_iterator(package.Path()))
    if (entry.path().extension() == ".deb") deb = entry.path();
  ASSERT_TRUE(Succeeds({"/usr/bin/dpkg-deb", "-x", deb, package.File("root")}, "", kValidateLimitMs));
  ExpectUnitStartsItsTreesProgram(package.File("root"), "/usr");
  ASSERT_TRUE(Succeeds({"/usr/bin/dpkg-deb", "-f", deb, "Maintainer"}, package.File("maintainer"),
                       kValidateLimitMs));
  EXPECT_THAT(ReadFileBytes(package.File("maintainer")),
              ::testing::MatchesRegex("[^<>@]+ <[^<>@ ]+@[^<>@ ]+\\.[a-z]+>\n"));
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
