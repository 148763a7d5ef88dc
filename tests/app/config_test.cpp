#include "app/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

#include "platform/atomicfile.h"
#include "platform/inifile.h"
#include "platform/testfolder.h"

namespace rv {
namespace {

using test::TScopedEnv;
using test::TTestFolder;

class ConfigTest : public testing::Test {
 protected:
  TTestFolder folder_;
  std::string ini_ = folder_ / "config.ini";
};

TEST_F(ConfigTest, NoFileGivesTheDefaults) {
  const TStartupConfig config = LoadConfig(ini_);
  EXPECT_EQ(config.px, kNoPosition);
  EXPECT_EQ(config.py, kNoPosition);
  EXPECT_TRUE(config.StayOnTop);
  EXPECT_EQ(config.SlideInterval, 100);
  EXPECT_EQ(config.SmoothZoom, 0);
  EXPECT_EQ(config.CurrentIndex, 0);
  EXPECT_FALSE(config.HasSavedCentre);
  EXPECT_EQ(config.SavedCentreX, 0);
  EXPECT_EQ(config.SavedCentreY, 0);

  const TSettingsConfig settings = LoadSettingsConfig(ini_, "/home/u/Pictures");
  EXPECT_EQ(settings.Path, "/home/u/Pictures");
  EXPECT_EQ(settings.SlideInterval, 100);
  EXPECT_TRUE(settings.RootOnly);
  EXPECT_FALSE(settings.Recursive);
  EXPECT_TRUE(settings.ByTime);
  EXPECT_FALSE(settings.Random);
  EXPECT_TRUE(settings.StayOnTop);
}

TEST_F(ConfigTest, StartIndexFromTheStoredNum) {
  const struct {
    const char* num;  // nullptr: no key
    int32_t start;
  } cases[] = {
      {"0", 0},
      {"4", 5},
      {"-1", 0},
      {"0x1F", 32},
      {"abc", 0},
      {nullptr, 0},
      {"", 0},
      {"-5", -4},
      {"2147483646", INT32_MAX},
      {"2147483647", INT32_MAX},  // saturates instead of wrapping
      {"2147483648", 0},
      {"-2147483648", -2147483647},
      {"1000000000", 1000000001},
  };
  for (const auto& c : cases) {
    folder_.Write("config.ini", c.num ? std::string("[config]\nnum=") + c.num + "\n" : "[config]\n");
    EXPECT_EQ(LoadConfig(ini_).CurrentIndex, c.start) << (c.num ? c.num : "(none)");
  }
}

TEST_F(ConfigTest, SavedCentreNeedsBothCoordinates) {
  const struct {
    const char* position;
    bool saved;
    int32_t x, y;
  } cases[] = {
      {"px=300\npy=200\n", true, 300, 200},
      {"px=300\n", false, 0, 0},
      {"py=200\n", false, 0, 0},
      {"px=-10000\npy=200\n", false, 0, 0},
      {"px=300\npy=-10000\n", false, 0, 0},
      {"px=-9999\npy=-20000\n", true, -9999, -20000},
      {"px=abc\npy=200\n", false, 0, 0},
      {"px=0x10\npy=$20\n", true, 16, 32},
  };
  for (const auto& c : cases) {
    folder_.Write("config.ini", std::string("[Position]\n") + c.position);
    const TStartupConfig config = LoadConfig(ini_);
    EXPECT_EQ(config.HasSavedCentre, c.saved) << c.position;
    EXPECT_EQ(config.SavedCentreX, c.x) << c.position;
    EXPECT_EQ(config.SavedCentreY, c.y) << c.position;
  }
}

TEST_F(ConfigTest, StoredValuesAsRead) {
  folder_.Write("config.ini", "[CONFIG]\nstaytop=0\ntime=0x1F4\nsmooth=2\n");
  const TStartupConfig config = LoadConfig(ini_);
  EXPECT_FALSE(config.StayOnTop);
  EXPECT_EQ(config.SlideInterval, 500);
  EXPECT_EQ(config.SmoothZoom, 2);  // kept as stored, and written back so
}

TEST(ConfigIndexTest, StepsSaturate) {
  const struct {
    int32_t index, delta, result;
  } cases[] = {
      {5, 1, 6},
      {0, -1, -1},
      {-1, 1, 0},
      {INT32_MAX, 1, INT32_MAX},
      {INT32_MIN, -1, INT32_MIN},
      {NoEntry, 1, NoEntry + 1},
  };
  for (const auto& c : cases) EXPECT_EQ(StepIndex(c.index, c.delta), c.result) << c.index << " " << c.delta;
}

TEST(ConfigIndexTest, WindowCentreRoundsHalvesToEven) {
  const struct {
    int32_t left, top, width, height, px, py;
  } cases[] = {
      {0, 0, 100, 200, 50, 100},  {0, 0, 101, 103, 50, 52},  // 50.5 -> 50, 51.5 -> 52
      {-300, 10, 5, 7, -298, 14},                            // 2.5 -> 2, 3.5 -> 4
      {10, 10, 0, 1, 10, 10},     {INT32_MAX, INT32_MIN, 1000, -1000, INT32_MAX, INT32_MIN},
  };
  for (const auto& c : cases) {
    const TWindowCentre centre = WindowCentre(c.left, c.top, c.width, c.height);
    EXPECT_EQ(centre.px, c.px) << c.left << " " << c.width;
    EXPECT_EQ(centre.py, c.py) << c.top << " " << c.height;
  }
}

TEST_F(ConfigTest, CloseWritesPositionIndexAndSmoothingOnly) {
  SaveOnClose(ini_, {640, -20}, 7, 1);
  EXPECT_EQ(folder_.Read("config.ini"), "[Position]\npx=640\npy=-20\n\n[config]\nnum=7\nsmooth=1\n");

  // Whatever else is in the file stays, staytop and time included.
  const std::string before = "[config]\nstaytop=0\ntime=3000\npath=/p\nnum=2\nsmooth=0\nextra=x\n";
  folder_.Write("config.ini", before);
  SaveOnClose(ini_, {1, 2}, 3, 2);
  EXPECT_EQ(folder_.Read("config.ini"),
            "[config]\nstaytop=0\ntime=3000\npath=/p\nnum=3\nsmooth=2\nextra=x\n\n[Position]\npx=1\npy=2\n");
  const TStartupConfig config = LoadConfig(ini_);
  EXPECT_FALSE(config.StayOnTop);
  EXPECT_EQ(config.SlideInterval, 3000);
  EXPECT_EQ(config.CurrentIndex, 4);
  EXPECT_EQ(config.SmoothZoom, 2);
}

TEST_F(ConfigTest, CloseThatCannotWriteNamesTheFile) {
  folder_.Write("plain", "x");
  const std::string ini = folder_ / "plain/config.ini";
  try {
    SaveOnClose(ini, {1, 2}, 3, 0);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + ini);
  }
}

TEST_F(ConfigTest, SettingsSaveWritesItsKeysInOrder) {
  TSettingsConfig settings;
  settings.Path = "/home/u/Bilder mit = Zeichen";
  settings.SlideInterval = 2500;
  settings.RootOnly = false;
  settings.Recursive = true;
  settings.ByTime = false;
  settings.Random = true;
  settings.StayOnTop = false;
  SaveSettings(ini_, settings, 0);
  EXPECT_EQ(folder_.Read("config.ini"),
            "[config]\ntime=2500\nstaytop=0\npath=/home/u/Bilder mit = Zeichen\nnum=0\nonly=0\nall=1\nbytime=0\n"
            "random=1\n");
  const TSettingsConfig back = LoadSettingsConfig(ini_, "/unused");
  EXPECT_EQ(back.Path, settings.Path);
  EXPECT_EQ(back.SlideInterval, 2500);
  EXPECT_FALSE(back.RootOnly);
  EXPECT_TRUE(back.Recursive);
  EXPECT_FALSE(back.ByTime);
  EXPECT_TRUE(back.Random);
  EXPECT_FALSE(back.StayOnTop);

  // A path with a line break would add a key of its own: nothing is written.
  const std::string saved = folder_.Read("config.ini");
  settings.Path = "/x\nnum=99";
  settings.SlideInterval = 1;
  EXPECT_THROW(SaveSettings(ini_, settings, 5), EIniError);
  EXPECT_EQ(folder_.Read("config.ini"), saved);
}

TEST(ProgramFolderTest, EnvironmentOverridesThenTheExecutablesFolder) {
  TTestFolder folder;
  {
    TScopedEnv home("REVIMORA_HOME", folder / "a/b/");
    EXPECT_EQ(ProgramFolder(), folder / "a/b");
    struct stat st;
    EXPECT_EQ(stat((folder / "a/b").c_str(), &st), 0);  // made when missing
    EXPECT_EQ(ConfigFileName(), folder / "a/b/config.ini");
    EXPECT_EQ(PictureListFileName(), folder / "a/b/list.dat");
  }
  TScopedEnv home("REVIMORA_HOME", std::nullopt);
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string exeFolder(exe, size_t(n));
  exeFolder.erase(exeFolder.rfind('/'));
  // The test program's folder is writable (it is the build folder).
  ASSERT_EQ(access(exeFolder.c_str(), W_OK), 0);
  EXPECT_EQ(ProgramFolder(), exeFolder);

  // An executable folder that cannot be written: the user's configuration folder.
  TScopedEnv config("XDG_CONFIG_HOME", folder / "cfg");
  EXPECT_EQ(ProgramFolderFor(folder / "missing/bin"), folder / "cfg/revimora");
  EXPECT_EQ(access((folder / "cfg/revimora").c_str(), W_OK), 0);  // made when missing
  TScopedEnv userHome("HOME", folder.Path());
  TScopedEnv noConfig("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(ProgramFolderFor(folder / "missing/bin"), folder / ".config/revimora");
}

}  // namespace
}  // namespace rv
