#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <dlfcn.h>
#include <unistd.h>

#include "archive/ContactSheet.h"
#include "platform/AppPaths.h"
#include "platform/LocalTime.h"
#include "platform/OpenCvModule.h"
#include "vision/Nsopencv.h"
#include "support/TempDir.h"

namespace {
namespace fs = std::filesystem;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Each case sets the XDG variables and may move the process: both come back.
class AppPathsTest : public ::testing::Test {
protected:
  AppPathsTest() : startFolder_(fs::current_path()) {
    for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "HOME"}) {
      const char* value = std::getenv(name);
      saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    // An installed tree: <prefix>/bin/vardocam beside <prefix>/share/vardocam.
    fs::create_directories(prefix.File("bin"));
    fs::create_directories(prefix.File("share/vardocam"));
    WriteFileBytes(prefix.File("share/vardocam/start.jpg"), "idle picture");
    WriteFileBytes(prefix.File("share/vardocam/Alarm.wav"), "alarm sound");
  }
  ~AppPathsTest() override {
    fs::current_path(startFolder_);
    for (const auto& [name, value] : saved_) Set(name.c_str(), value);
  }
  static void Set(const char* name, const std::optional<std::string>& value) {
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  }
  std::string InstalledProgram() const { return prefix.File("bin/vardocam"); }
  // The installed program, given a runtime folder, works in `work`, made private.
  void EnterInstalledIn(const std::string& profile, const std::string& work) {
    Set("XDG_RUNTIME_DIR", runtime.Path());
    ASSERT_TRUE(EnterWorkingFolderOf(InstalledProgram(), profile, &error)) << error;
    EXPECT_EQ(fs::current_path(), fs::path(work));
    EXPECT_EQ(ModeOf(work), 0700u);
  }

  TempDir prefix, runtime, home;
  std::string error;  // what a failing call said

private:
  fs::path startFolder_;
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(AppPathsTest, DataFolderIsFoundBesideAnInstalledProgramOnly) {
  EXPECT_EQ(InstalledDataFolder(InstalledProgram()), prefix.File("share/vardocam"));
  // A build tree has no share folder next to it.
  EXPECT_EQ(InstalledDataFolder(runtime.File("build/vardocam")), "");
  // Nor has this test program: run from there, a program keeps its folder.
  const fs::path before = fs::current_path();
  ASSERT_TRUE(EnterWorkingFolder("", &error)) << error;
  EXPECT_EQ(fs::current_path(), before);
}

TEST_F(AppPathsTest, InstalledProgramWorksInThePrivateRuntimeFolderWithItsData) {
  const std::string work = runtime.File("vardocam");
  ASSERT_NO_FATAL_FAILURE(EnterInstalledIn("", work));
  EXPECT_EQ(ReadFileBytes(work + "/start.jpg"), "idle picture");
  EXPECT_EQ(ReadFileBytes(work + "/Alarm.wav"), "alarm sound");
  EXPECT_FALSE(fs::exists(work + "/start.jpg.part"));

  // A later start, after an upgrade, takes the new pictures.
  WriteFileBytes(prefix.File("share/vardocam/start.jpg"), "new idle picture");
  ASSERT_TRUE(EnterWorkingFolderOf(InstalledProgram(), "", &error)) << error;
  EXPECT_EQ(ReadFileBytes(work + "/start.jpg"), "new idle picture");
}

TEST_F(AppPathsTest, WithoutAUsableRuntimeFolderTheCacheFolderIsUsed) {
  Set("XDG_CACHE_HOME", home.File("cache"));
  for (const std::optional<std::string>& unusable :
       {std::optional<std::string>(), std::optional<std::string>("relative/run"),
        std::optional<std::string>(runtime.File("missing"))}) {
    Set("XDG_RUNTIME_DIR", unusable);
    EXPECT_EQ(PrivateWorkingFolder(), home.File("cache/vardocam")) << unusable.value_or("unset");
  }
  ASSERT_TRUE(EnterWorkingFolderOf(InstalledProgram(), "", &error)) << error;
  EXPECT_EQ(fs::current_path(), fs::path(home.File("cache/vardocam")));
  EXPECT_EQ(ModeOf(home.File("cache/vardocam")), 0700u);
  EXPECT_EQ(ReadFileBytes("start.jpg"), "idle picture");

  // Without XDG_CACHE_HOME the cache lies in the home folder, made private.
  Set("XDG_CACHE_HOME", std::nullopt);
  Set("HOME", home.Path());
  EXPECT_EQ(PrivateWorkingFolder(), home.File(".cache/vardocam"));
  ASSERT_TRUE(EnterWorkingFolderOf(InstalledProgram(), "", &error)) << error;
  EXPECT_EQ(ModeOf(home.File(".cache")), 0700u);
  EXPECT_EQ(ModeOf(home.File(".cache/vardocam")), 0700u);
}

TEST_F(AppPathsTest, ProfileWorksInASubfolderOfItsOwn) {
  const std::string work = runtime.File("vardocam/garage");
  ASSERT_NO_FATAL_FAILURE(EnterInstalledIn("garage", work));
  EXPECT_EQ(ModeOf(runtime.File("vardocam")), 0700u);
  EXPECT_EQ(ReadFileBytes(work + "/Alarm.wav"), "alarm sound");

  // A name that is not one folder stays where it is.
  fs::current_path(home.Path());
  for (const char* bad : {"..", ".", "a/b", "/etc"}) {
    error.clear();
    EXPECT_FALSE(EnterWorkingFolderOf(InstalledProgram(), bad, &error)) << bad;
    EXPECT_NE(error.find("profile"), std::string::npos) << error;
    EXPECT_EQ(fs::current_path(), fs::path(home.Path()));
  }
}

TEST_F(AppPathsTest, BuildTreeStaysInItsFolderAndGivesAProfileASubfolder) {
  const std::string build = runtime.File("build");
  fs::create_directories(build);
  fs::current_path(home.Path());
  WriteFileBytes(home.File("start.jpg"), "launcher's picture");
  ASSERT_TRUE(EnterWorkingFolderOf(build + "/vardocam", "", &error)) << error;
  EXPECT_EQ(fs::current_path(), fs::path(home.Path()));

  // The profile takes the launcher's files along; a missing one is no error.
  ASSERT_TRUE(EnterWorkingFolderOf(build + "/vardocam", "porch", &error)) << error;
  EXPECT_EQ(fs::current_path(), fs::path(home.File("porch")));
  EXPECT_EQ(ModeOf(home.File("porch")), 0700u);
  EXPECT_EQ(ReadFileBytes("start.jpg"), "launcher's picture");
  EXPECT_FALSE(fs::exists("Alarm.wav"));
}

TEST_F(AppPathsTest, ExistingFolderIsMadePrivateButNeverFollowedOrReplaced) {
  const std::string loose = runtime.File("loose");
  ASSERT_EQ(::mkdir(loose.c_str(), 0755), 0);
  ASSERT_TRUE(MakePrivateFolder(loose, &error)) << error;
  EXPECT_EQ(ModeOf(loose), 0700u);

  // A link could send the frames into someone else's folder.
  const std::string link = runtime.File("link");
  fs::create_directory_symlink(home.Path(), link);
  EXPECT_FALSE(MakePrivateFolder(link, &error));
  EXPECT_NE(error.find("not a folder"), std::string::npos) << error;

  WriteFileBytes(runtime.File("file"), "x");
  EXPECT_FALSE(MakePrivateFolder(runtime.File("file"), &error));
  EXPECT_FALSE(MakePrivateFolder(runtime.File("file/below"), &error));
  EXPECT_NE(error.find("file/below"), std::string::npos) << error;
  EXPECT_FALSE(MakePrivateFolder("relative", &error));

  // An installed program whose folder is taken by a file reports it.
  Set("XDG_RUNTIME_DIR", runtime.Path());
  WriteFileBytes(runtime.File("vardocam"), "not a folder");
  fs::current_path(home.Path());
  EXPECT_FALSE(EnterWorkingFolderOf(InstalledProgram(), "", &error));
  EXPECT_EQ(fs::current_path(), fs::path(home.Path()));
}

} // namespace

// OpenCV's module is looked for beside the program, above a test's folder
// and where an install puts it, and only loaded when a picture needs it:
// the idle picture (a JPEG) does not. One that cannot be loaded says why.
TEST(OpenCvModule, LoadedOnlyWhenNeededFromBesideTheProgramAndSaysWhyItCannotBe) {
  const std::vector<std::string> places = OpenCvModulePlaces("/opt/v/bin/vardocam");
  ASSERT_EQ(places.size(), 3u);
  EXPECT_EQ(places[0], "/opt/v/bin/vardocam-opencv.so");
  EXPECT_EQ(places[1], "/opt/v/bin/../vardocam-opencv.so");
  EXPECT_EQ(places[2].rfind("/opt/v/bin/../lib", 0), 0u) << places[2];

  nsOpenCV vision("IMAGE");
  ASSERT_TRUE(vision.LoadFrame(VARDOCAM_SOURCE_DIR "/assets/start.jpg"));
  std::string module;
  for (const std::string& place : OpenCvModulePlaces(fs::read_symlink("/proc/self/exe").string()))
    if (module.empty() && fs::exists(place)) module = place;
  ASSERT_FALSE(module.empty());
  EXPECT_EQ(dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "loaded for a JPEG";

  TempDir dir;
  WriteFileBytes(dir.File("text.so"), "no module");
  for (const std::string& bad : {dir.File("missing.so"), dir.File("text.so"), std::string("libz.so.1")}) {
    std::string why;
    EXPECT_EQ(LoadOpenCvModule(bad, &why), nullptr) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  // The program's search finding nothing is said, with each place and the
  // loader's reason, by every picture operation; it then finds it again.
  const cv::Mat picture(8, 8, CV_8UC3, cv::Scalar::all(90));
  const std::string event = dir.File("event");
  fs::create_directories(event);
  WriteFileBytes(event + "/" + kEventFirstPicture, ReadFileBytes(VARDOCAM_SOURCE_DIR "/assets/start.jpg"));
  for (const std::string& bad : {dir.File("missing.so"), dir.File("text.so"), std::string("libz.so.1")}) {
    SCOPED_TRACE(bad);
    SetOpenCvModulePlaces({bad});
    std::string loader;
    LoadOpenCvModule(bad, &loader);
    EXPECT_THROW(OpenCv(), std::runtime_error);
    const std::string error = OpenCvModuleError();
    EXPECT_EQ(error.rfind("画像処理モジュール（vardocam-opencv.so）を読み込めません: ", 0), 0u) << error;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
    EXPECT_NE(error.find(loader), std::string::npos) << error;
    std::string why;
    EXPECT_TRUE(ReadImageFile(dir.File("any.png"), 1, &why).empty());
    EXPECT_EQ(why, error);
    why.clear();
    EXPECT_FALSE(WriteImageFile(dir.File("any.png"), picture, &why));
    EXPECT_EQ(why, error);
    why.clear();
    std::vector<uchar> bytes;
    EXPECT_FALSE(EncodeImage(".png", picture, bytes, {}, &why));
    EXPECT_EQ(why, error);
    why.clear();
    EventInfo info;
    info.folder = event;
    EXPECT_TRUE(EventSheetFrames(info, &why).empty());
    EXPECT_EQ(why, error);
    // A picture that could not be written leaves no older one under its name.
    WriteFileBytes(dir.File("recept.png"), "an older alarm's picture");
    EXPECT_FALSE(vision.SaveImage(dir.File("recept.png")));
    EXPECT_FALSE(fs::exists(dir.File("recept.png")));
    EXPECT_EQ(vision.ImageError(), error);
  }
  SetOpenCvModulePlaces({});
  EXPECT_FALSE(OpenCv().ReadImage(VARDOCAM_SOURCE_DIR "/assets/start.jpg", 1).empty());
  EXPECT_EQ(OpenCvModuleError(), "");
  EXPECT_TRUE(vision.SaveImage(dir.File("recept.png")));
  EXPECT_EQ(vision.ImageError(), "");
}

// Local time as the events, mails and history show it; a pattern that would
// need more than the bound gives nothing rather than a cut text.
TEST(LocalTime, WrittenAsThePatternSaysWithinItsBound) {
  const std::string longest(kLocalTimeTextMaxBytes, 'x');
  const std::string tooLong(kLocalTimeTextMaxBytes + 1, 'x');
  std::tm local{};
  const std::time_t when = 1796000000;
  localtime_r(&when, &local);
  char expected[32];
  std::strftime(expected, sizeof expected, "%Y-%m-%d_%H-%M-%S", &local);
  EXPECT_EQ(LocalTimeText(when, "%Y-%m-%d_%H-%M-%S"), expected);
  EXPECT_EQ(LocalTimeText(when, longest.c_str()), longest);
  EXPECT_EQ(LocalTimeText(when, tooLong.c_str()), "");
}
