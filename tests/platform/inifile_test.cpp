#include "platform/inifile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "platform/atomicfile.h"
#include "platform/testfolder.h"

namespace rv {
namespace {

using test::TTestFolder;

TEST(IniIntegerTest, DecimalHexSignsAndRange) {
  struct Case {
    const char* text;
    bool valid;
    int32_t value;
  };
  const Case cases[] = {
      {"31", true, 31},
      {"0x1F", true, 31},
      {"0X1f", true, 31},
      {"$1F", true, 31},
      {"  42 ", true, 42},
      {"-7", true, -7},
      {"+7", true, 7},
      {"-0x10", true, -16},
      {"007", true, 7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"0x7FFFFFFF", true, 2147483647},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"0x80000000", false, 0},
      {"99999999999999999999999", false, 0},
      {"abc", false, 0},
      {"", false, 0},
      {"12abc", false, 0},
      {"1.5", false, 0},
      {"0x", false, 0},
      {"$", false, 0},
      {"0xG", false, 0},
      {"--1", false, 0},
      {"- 1", false, 0},
      {"0x-1", false, 0},
      {"1 2", false, 0},
  };
  for (const Case& c : cases) {
    int32_t value = 12345;
    EXPECT_EQ(ParseIniInteger(c.text, &value), c.valid) << '"' << c.text << '"';
    EXPECT_EQ(value, c.valid ? c.value : 12345) << '"' << c.text << '"';
  }
}

class IniFileTest : public testing::Test {
 protected:
  TTestFolder folder_;
  std::string file_ = folder_ / "config.ini";
};

TEST_F(IniFileTest, ReadsWithTheProfileRules) {
  folder_.Write("config.ini",
                "\xEF\xBB\xBF[Config]\r\n"
                "; num=99\r\n"
                "Num = 7 \r\n"
                "num=8\r\n"
                "path=  \"  spaced  \"\r\n"
                "quoted='x'\r\n"
                "half=\"x\r\n"
                "empty=\r\n"
                "hex=0x1F\r\n"
                "flag=2\r\n"
                "off=0\r\n"
                "bad=yes\r\n"
                "[position]\r\n"
                "px=-5\r\n"
                "[config]\r\n"
                "later=1\r\n");
  TIniFile ini(file_);
  struct Case {
    const char* section;
    const char* key;
    const char* expected;  // nullptr: absent
  };
  const Case cases[] = {
      {"config", "num", "7"},  // the first of two, names ignoring case, blanks trimmed
      {"CONFIG", "NUM", "7"},       {"config", "path", "  spaced  "}, {"config", "quoted", "x"},
      {"config", "half", "\"x"},    {"config", "empty", ""},          {"Position", "PX", "-5"},
      {"config", "later", nullptr},  // only the first section of a name counts
      {"config", "px", nullptr},    {"other", "num", nullptr},        {"config", "; num", nullptr},
  };
  for (const Case& c : cases) {
    auto value = ini.Find(c.section, c.key);
    if (c.expected) {
      ASSERT_TRUE(value) << c.section << "/" << c.key;
      EXPECT_EQ(*value, c.expected) << c.section << "/" << c.key;
    } else {
      EXPECT_FALSE(value) << c.section << "/" << c.key << " = " << *value;
    }
  }
  EXPECT_EQ(ini.ReadString("config", "missing", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("config", "empty", "dflt"), "");
  EXPECT_EQ(ini.ReadInteger("config", "hex", 0), 31);
  EXPECT_EQ(ini.ReadInteger("config", "bad", -3), -3);
  EXPECT_EQ(ini.ReadInteger("config", "empty", -3), -3);
  EXPECT_EQ(ini.ReadInteger("position", "px", 0), -5);
  EXPECT_TRUE(ini.ReadBool("config", "flag", false));
  EXPECT_FALSE(ini.ReadBool("config", "off", true));
  EXPECT_TRUE(ini.ReadBool("config", "bad", true));
  EXPECT_FALSE(ini.ReadBool("config", "bad", false));
}

TEST_F(IniFileTest, MissingFileGivesEveryDefault) {
  TIniFile ini(folder_ / "none.ini");
  EXPECT_EQ(ini.ReadString("config", "path", "p"), "p");
  EXPECT_EQ(ini.ReadInteger("Position", "px", -10000), -10000);
  EXPECT_TRUE(ini.ReadBool("config", "staytop", true));
  EXPECT_FALSE(ini.Find("config", "num"));
}

TEST_F(IniFileTest, WritesChangeOnlyTheirLine) {
  const std::string before =
      "# made by hand\n"
      "[config]\n"
      "  Time = 100\n"
      "other=keep me\n"
      "\n"
      "[unknown]\n"
      "x=1\n";
  folder_.Write("config.ini", before);
  TIniFile ini(file_);
  ini.WriteInteger("CONFIG", "time", 500);    // replaced where it is, spelled as the file spells it
  ini.WriteBool("config", "staytop", false);  // added at the end of its section, before the blank line
  ini.WriteInteger("Position", "px", -12);    // a new section at the end
  ini.WriteString("Position", "py", "3");
  EXPECT_EQ(folder_.Read("config.ini"),
            "# made by hand\n"
            "[config]\n"
            "  Time=500\n"
            "other=keep me\n"
            "staytop=0\n"
            "\n"
            "[unknown]\n"
            "x=1\n"
            "\n"
            "[Position]\n"
            "px=-12\n"
            "py=3\n");
  EXPECT_EQ(ini.ReadInteger("config", "time", 0), 500);
  EXPECT_FALSE(ini.ReadBool("config", "staytop", true));
}

TEST_F(IniFileTest, NewFileAndTheFilesOwnLineEnds) {
  TIniFile fresh(file_);
  fresh.WriteInteger("config", "num", 4);
  EXPECT_EQ(folder_.Read("config.ini"), "[config]\nnum=4\n");

  folder_.Write("crlf.ini", "[a]\r\nk=1");  // no line end after the last line
  TIniFile crlf(folder_ / "crlf.ini");
  crlf.WriteString("a", "j", "2");
  crlf.WriteString("b", "k", "3");
  EXPECT_EQ(folder_.Read("crlf.ini"), "[a]\r\nk=1\r\nj=2\r\n\r\n[b]\r\nk=3\r\n");
}

TEST_F(IniFileTest, ValuesReadBackAsWritten) {
  TIniFile ini(file_);
  const char* values[] = {"plain",
                          "  leading",
                          "trailing\t",
                          "\"quoted\"",
                          "'single'",
                          "a=b=c",
                          "[x]",
                          "; not a comment",
                          "",
                          "\xff\xfe bytes",
                          "/home/u/Bilder/Ürlaub 2012"};
  for (const char* value : values) {
    ini.WriteString("config", "path", value);
    EXPECT_EQ(ini.ReadString("config", "path", "?"), value);
  }
}

TEST_F(IniFileTest, RefusesWhatWouldChangeTheStructure) {
  folder_.Write("config.ini", "[config]\npath=/old\n");
  TIniFile ini(file_);
  struct Case {
    const char* section;
    const char* key;
    std::string value;
  };
  const Case cases[] = {
      {"config", "path", "/a\nnum=5"},
      {"config", "path", "/a\rb"},
      {"config", "path", std::string("a\0b", 3)},
      {"config", "a=b", "1"},
      {"con]fig", "path", "1"},
      {"config", "", "1"},
      {"", "path", "1"},
      {"config", "[x", "1"},
      {"config", "k\n", "1"},
  };
  for (const Case& c : cases) {
    try {
      ini.WriteString(c.section, c.key, c.value);
      ADD_FAILURE() << "written: [" << c.section << "] " << c.key;
    } catch (const EIniError& e) {
      EXPECT_NE(std::string(e.what()).find(file_), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(folder_.Read("config.ini"), "[config]\npath=/old\n");
}

// Names in a folder other than "." and "..".
std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(IniFileTest, FailedWriteKeepsTheOldFileAndSaysWhere) {
  // The folder is a file: no temporary file can be made.
  folder_.Write("plain", "x");
  TIniFile inFile(folder_ / "plain/config.ini");
  try {
    inFile.WriteInteger("config", "num", 1);
    ADD_FAILURE() << "no error";
  } catch (const EFileWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + folder_ / "plain/config.ini");
    EXPECT_EQ(e.SystemError(), ENOTDIR);
  }

  // The name is taken by a folder: everything is written, the rename fails.
  folder_.MakeFolder("taken.ini");
  EXPECT_THROW(TIniFile(folder_ / "taken.ini").WriteInteger("config", "num", 1), EFileWriteError);
  EXPECT_EQ(FolderNames(folder_.Path()), (std::vector<std::string>{"plain", "taken.ini"}));

  // The disk fills up in the middle of the write (the file size limit stands in for
  // it): the old content stays whole and no temporary file is left.
  const std::string old = "[config]\nnum=1\npath=" + std::string(200, 'p') + "\n";
  folder_.Write("config.ini", old);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool failed = false;
  try {
    TIniFile(file_).WriteString("config", "path", std::string(300, 'q'));
  } catch (const EFileWriteError& e) {
    failed = true;
    EXPECT_EQ(e.SystemError(), EFBIG);
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(failed);
  EXPECT_EQ(folder_.Read("config.ini"), old);
  EXPECT_EQ(FolderNames(folder_.Path()), (std::vector<std::string>{"config.ini", "plain", "taken.ini"}));
}

TEST_F(IniFileTest, ReadOnlyFolderKeepsTheOldFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  const std::string sub = folder_.MakeFolder("ro");
  folder_.Write("ro/config.ini", "[config]\nnum=1\n");
  chmod(sub.c_str(), 0555);
  EXPECT_THROW(TIniFile(sub + "/config.ini").WriteInteger("config", "num", 2), EFileWriteError);
  chmod(sub.c_str(), 0755);
  EXPECT_EQ(folder_.Read("ro/config.ini"), "[config]\nnum=1\n");
}

TEST_F(IniFileTest, ReplacementKeepsModeAndLinks) {
  folder_.Write("real.ini", "[config]\nnum=1\n");
  chmod((folder_ / "real.ini").c_str(), 0640);
  folder_.Link("real.ini", "config.ini");
  TIniFile(file_).WriteInteger("config", "num", 2);
  struct stat st;
  ASSERT_EQ(lstat(file_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat((folder_ / "real.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(folder_.Read("real.ini"), "[config]\nnum=2\n");
}

}  // namespace
}  // namespace rv
