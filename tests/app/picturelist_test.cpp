#include "app/picturelist.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>

#include "platform/atomicfile.h"
#include "platform/filetime.h"
#include "platform/stream.h"
#include "platform/testfolder.h"

namespace rv {
namespace {

using test::kSample2012;
using test::TScopedEnv;
using test::TTestFolder;

TEST(PictureListTextTest, LinesAndTheirPaths) {
  const TPictureList list = ParseListText("a=x\nxphoto.jpg\r\n\r\nk=c=d");
  ASSERT_EQ(list, (TPictureList{"a=x", "xphoto.jpg", "", "k=c=d"}));
  const char* paths[] = {"x", "photo.jpg", "", "c=d"};
  const char* keys[] = {"a", "", "", "k"};
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(ListEntryPath(list[i]), paths[i]) << i;
    EXPECT_EQ(ListEntryKey(list[i]), keys[i]) << i;
  }
  EXPECT_EQ(ListEntryPath("=/only/path"), "/only/path");
}

TEST(PictureListTextTest, AnyLineEndAndNulEndsTheText) {
  const struct {
    std::string text;
    TPictureList lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\n\r\n", {"a", ""}},
      {"\r\n", {""}},
      {"a\nb\n", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\n\rb", {"a", "", "b"}},  // LF then CR: two line ends
      {"a\r\r\nb", {"a", "", "b"}},
      {std::string("a\r\nb\0c\r\nd", 9), {"a", "b"}},
      {std::string("\0a", 2), {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseListText(c.text), c.lines) << testing::PrintToString(c.text);
}

TEST(PictureListFileTest, OddNamesRoundTripByteForByte) {
  TTestFolder folder;
  const TPictureList list = {
      "41234.5678935185=/pics/with space.jpg",
      "41234=/pics/a=b=c.png",
      "41234.5=/pics/\xff\xfe not utf-8 \x80.gif",
      "41234.25=/pics/tab\there.bmp",
      "=/pics/no key.jpeg",
      "",
      " 41234= leading space.jpg",
  };
  const std::string file = folder / "list.dat";
  StorePictureList(file, list);
  std::string expected;
  for (const std::string& line : list) expected += line + "\r\n";
  EXPECT_EQ(folder.Read("list.dat"), expected);
  EXPECT_EQ(LoadPictureList(file), list);

  StorePictureList(file, {});
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_TRUE(LoadPictureList(file).empty());
}

TEST(PictureListFileTest, ReadsFilesOfOtherLineEnds) {
  TTestFolder folder;
  folder.Write("lf.dat", "1=/a.jpg\n2=/b.jpg");
  folder.Write("cr.dat", "1=/a.jpg\r2=/b.jpg\r");
  for (const char* name : {"lf.dat", "cr.dat"})
    EXPECT_EQ(LoadPictureList(folder / name), (TPictureList{"1=/a.jpg", "2=/b.jpg"})) << name;
}

TEST(PictureListFileTest, FailuresKeepTheOldFile) {
  TTestFolder folder;
  const std::string file = folder / "list.dat";
  StorePictureList(file, {"1=/a.jpg"});
  for (const char* bad : {"1=/a\r\nb.jpg", "1=/a\nb.jpg", "1=/a\rb.jpg"}) {
    EXPECT_THROW(StorePictureList(file, {"2=/ok.jpg", bad}), EPictureListError) << bad;
    EXPECT_EQ(folder.Read("list.dat"), "1=/a.jpg\r\n");
  }
  folder.Write("plain", "x");
  try {
    StorePictureList(folder / "plain/list.dat", {"1=/a.jpg"});
    ADD_FAILURE() << "no error";
  } catch (const EFileWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + folder / "plain/list.dat");
  }
  try {
    LoadPictureList(folder / "missing.dat");
    ADD_FAILURE() << "no error";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"" + folder / "missing.dat" + "\". ", 0), 0u) << e.what();
  }
}

TEST(PictureExtensionTest, FiveExtensionsIgnoringCase) {
  const struct {
    const char* path;
    bool picture;
  } cases[] = {
      {"p1.jpg", true},     {"p2.JPG", true},   {"p3.jpeg", true},    {"x.JpEg", true},    {"a.png", true},
      {"a.PNG", true},      {"a.bmp", true},    {"a.gif", true},      {"p4.tif", false},   {"p5", false},
      {"a.jpe", false},     {"a.", false},      {"a.jpg.txt", false}, {"a.txt.jpg", true}, {"/x/holiday.jpg/p5", false},
      {"/x.y/name", false}, {"/x/y.jpg", true}, {"a.jpg ", false},    {"jpg", false},
  };
  for (const auto& c : cases) EXPECT_EQ(HasPictureExtension(c.path), c.picture) << c.path;
}

TEST(FileTimeKeyTest, KeysWithThePinnedTimeZone) {
  TTestFolder folder;
  folder.Write("a.jpg", "x");
  const struct {
    const char* tz;
    int64_t utcSeconds;
    long ns;
    const char* separator;
    const char* key;
  } cases[] = {
      {"UTC0", kSample2012, 0, ".", "41234.5678935185"},
      {"UTC0", kSample2012, 999999, ".", "41234.5678935185"},  // below a millisecond: dropped
      {"UTC0", 1353456000, 0, ".", "41234"},
      {"UTC0", kSample2012, 0, ",", "41234,5678935185"},
      {"XXX-1", kSample2012 - 3600, 0, ".", "41234.5678935185"},
      {"XXX+8", 1353456000 + 8 * 3600, 0, ",", "41234"},
  };
  for (const auto& c : cases) {
    TScopedEnv tz("TZ", c.tz);
    folder.SetTime("a.jpg", c.utcSeconds, c.ns);
    EXPECT_EQ(FileTimeKey(folder / "a.jpg", c.separator, CurrentUtcOffsetSeconds()), c.key) << c.tz;
  }
  TScopedEnv tz("TZ", "UTC0");
  TScopedEnv numeric("LC_ALL", "C");
  folder.SetTime("a.jpg", kSample2012);
  EXPECT_EQ(FileTimeKey(folder / "a.jpg"), "41234.5678935185");
  EXPECT_EQ(FileTimeKey(folder / "gone.jpg"), "");
}

// Names of a folder in the order the file system returns them, hidden ones left out.
std::vector<std::string> ReaddirOrder(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

class ScanTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"p1.jpg", "p2.JPG", "p3.jpeg", "p4.tif", "p5", ".hidden.jpg", "bad\nname.jpg", "bad\rname.png"})
      folder_.Write(name, "x");
    folder_.MakeFolder("holiday.jpg");
    folder_.Write("holiday.jpg/beach.png", "x");
    folder_.MakeFolder("holiday.jpg/deeper");
    folder_.Write("holiday.jpg/deeper/sea.gif", "x");
    folder_.Write("holiday.jpg/notes.txt", "x");
    folder_.MakeFolder(".thumbnails");
    folder_.Write(".thumbnails/t.jpg", "x");
    folder_.MakeFolder("empty");
    folder_.Link("holiday.jpg", "link-to-folder.jpg");
    folder_.Link("..", "holiday.jpg/deeper/up");  // a loop back to the parent
    folder_.Link("p1.jpg", "link-to-file.bmp");
    ASSERT_EQ(mkfifo((folder_ / "pipe.jpg").c_str(), 0600), 0);
  }
  TTestFolder folder_;
};

TEST_F(ScanTest, RootOnlyFindsPictureFilesOnly) {
  std::vector<std::string> expected;
  for (const std::string& name : ReaddirOrder(folder_.Path()))
    if (name == "p1.jpg" || name == "p2.JPG" || name == "p3.jpeg" || name == "link-to-file.bmp")
      expected.push_back(folder_ / name);
  EXPECT_EQ(GetDirs(folder_.Path()), expected);
  EXPECT_EQ(ScanFolder(folder_.Path(), false), expected);
  // A trailing slash, or several, change nothing.
  EXPECT_EQ(GetDirs(folder_.Path() + "///"), expected);
}

TEST_F(ScanTest, RecursiveDescendsDepthFirstWhereTheFolderIsMet) {
  // Built from the definition: a folder's pictures in search order, a subfolder's
  // own result at the point where the search returns the subfolder.
  std::function<void(const std::string&, std::vector<std::string>&)> expect = [&](const std::string& dir,
                                                                                  std::vector<std::string>& out) {
    for (const std::string& name : ReaddirOrder(dir)) {
      const std::string path = dir + "/" + name;
      struct stat link, target;
      lstat(path.c_str(), &link);
      if (S_ISDIR(link.st_mode)) {
        expect(path, out);
      } else if (stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode) && HasPictureExtension(name) &&
                 name.find_first_of("\r\n") == std::string::npos) {
        out.push_back(path);
      }
    }
  };
  std::vector<std::string> expected;
  expect(folder_.Path(), expected);
  const std::vector<std::string> found = ScanFolder(folder_.Path(), true);
  EXPECT_EQ(found, expected);
  // Each picture once, the loop not followed, hidden folders not entered.
  std::vector<std::string> sorted = found;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{folder_ / "holiday.jpg/beach.png", folder_ / "holiday.jpg/deeper/sea.gif",
                                              folder_ / "link-to-file.bmp", folder_ / "p1.jpg", folder_ / "p2.JPG",
                                              folder_ / "p3.jpeg"}));
}

TEST_F(ScanTest, NothingToScanGivesNothing) {
  EXPECT_TRUE(ScanFolder("", true).empty());
  EXPECT_TRUE(ScanFolder(folder_ / "missing", true).empty());
  EXPECT_TRUE(ScanFolder(folder_ / "p1.jpg", true).empty());
  EXPECT_TRUE(ScanFolder(folder_ / "empty", true).empty());
}

TEST_F(ScanTest, AnUnreadableFolderIsPassedOver) {
  folder_.MakeFolder("locked");
  folder_.Write("locked/secret.jpg", "x");
  chmod((folder_ / "locked").c_str(), 0);
  const std::vector<std::string> found = ScanFolder(folder_.Path(), true);
  // Root reads it anyway; anybody else finds the rest without it.
  const bool readable = access((folder_ / "locked").c_str(), R_OK | X_OK) == 0;
  EXPECT_EQ(std::count(found.begin(), found.end(), folder_ / "locked/secret.jpg"), readable ? 1 : 0);
  EXPECT_EQ(found.size(), readable ? 7u : 6u);
  EXPECT_EQ(std::count(found.begin(), found.end(), folder_ / "holiday.jpg/deeper/sea.gif"), 1);
}

TEST_F(ScanTest, LinesCarryTheKeysOfTheirFiles) {
  TScopedEnv tz("TZ", "UTC0");
  const std::vector<std::string> paths = ScanFolder(folder_.Path(), true);
  for (size_t i = 0; i < paths.size(); ++i) {
    ASSERT_EQ(paths[i].rfind(folder_.Path() + "/", 0), 0u);
    folder_.SetTime(paths[i].substr(folder_.Path().size() + 1), kSample2012 + int64_t(i) * 86400);
  }
  const TPictureList lines = ScanFolderLines(folder_.Path(), true, ",", 0);
  ASSERT_EQ(lines.size(), paths.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    // A link to a file has the time of the file it names.
    const std::string day =
        paths[i] == folder_ / "link-to-file.bmp"
            ? std::to_string(41234 + (std::find(paths.begin(), paths.end(), folder_ / "p1.jpg") - paths.begin()))
            : std::to_string(41234 + i);
    EXPECT_EQ(lines[i], day + ",5678935185=" + paths[i]);
  }
  TScopedEnv numeric("LC_ALL", "C");
  EXPECT_EQ(ListLines(paths), ScanFolderLines(folder_.Path(), true));
}

TEST(PictureListSortTest, PairsInOrder) {
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"41234.5=/b", "41234.56=/a"},        // "=" before the next digit
      {"41234,5=/b", "41234,56=/a"},        // with a comma as separator too
      {"41234=/z", "41234.0000000116=/a"},  // midnight before any later time of the day
      {"41234=/z", "41234,5=/a"},
      {"41234.5=/a", "41234.5=/B"},  // equal keys: paths ignoring case
      {"41234.5=/B", "41234.5=/c"},
      {"41234.5=/a-b", "41234.5=/a0"},  // punctuation before digits
      {"41234.5=/a9", "41234.5=/aa"},   // digits before letters
      {"41234.5=/a.jpg", "41234.5=/a_b.jpg"},
      {"41234.5=/z", "41234.5=/\xc3\xa4"},  // other bytes after letters
      {"41233.9=/z", "41234=/a"},
      {"=/no key", "0=/a"},
      {"41234.5=/A", "41234.5=/a"},  // equal but for case: byte order decides, so sorting is repeatable
  };
  for (const auto& c : cases) {
    EXPECT_LT(CompareListLines(c.before, c.after), 0) << c.before << " | " << c.after;
    EXPECT_GT(CompareListLines(c.after, c.before), 0) << c.before << " | " << c.after;
    EXPECT_EQ(CompareListLines(c.before, c.before), 0);
  }
}

TEST(PictureListSortTest, KeysOfFiveDigitsSortInTimeOrder) {
  // Random times from day 10000 (18 May 1927) to day 99999 (13 October 2173), some
  // sharing a day or a millisecond.
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int64_t> when((10000LL - 25569) * 86400000, (100000LL - 25569) * 86400000 - 1);
  std::vector<std::pair<int64_t, std::string>> files;
  for (int i = 0; i < 3000; ++i) {
    int64_t ms = when(rng);
    if (i % 10 == 1) ms = ms / 86400000 * 86400000;  // midnight
    if (i % 10 == 2) ms = files.back().first;        // same time, another path
    files.emplace_back(ms, "/p/" + std::string(1, char('a' + i % 26)) + std::to_string(i) + ".jpg");
  }
  for (const char* separator : {".", ","}) {
    TPictureList list;
    for (const auto& [ms, path] : files)
      list.push_back(DayCountText(FileTimeToLocalDateTime(ms, 0), separator) + "=" + path);
    SortPictureList(list);
    std::vector<std::pair<int64_t, std::string>> expected = files;
    std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
      if (a.first != b.first) return a.first < b.first;
      return a.second < b.second;  // the paths hold no upper case
    });
    ASSERT_EQ(list.size(), expected.size());
    for (size_t i = 0; i < list.size(); ++i) ASSERT_EQ(ListEntryPath(list[i]), expected[i].second) << i;
  }
}

TEST(PictureListSortTest, SortIsRepeatable) {
  TPictureList list = {"2=/b", "1=/B", "1=/b", "1=/a", "=/x"};
  SortPictureList(list);
  EXPECT_EQ(list, (TPictureList{"=/x", "1=/a", "1=/B", "1=/b", "2=/b"}));
  TPictureList one = {"9=/only"};
  SortPictureList(one);
  EXPECT_EQ(one, TPictureList{"9=/only"});
}

TEST(PictureListShuffleTest, SeededExchanges) {
  const struct {
    uint32_t seed;
    TPictureList in, out;
  } cases[] = {
      {0, {"a", "b"}, {"b", "a"}},
      {16, {"a", "b"}, {"a", "b"}},  // the other outcome of two lines
      {0, {"a", "b", "c", "d", "e"}, {"b", "d", "c", "e", "a"}},
      {12345, {"a", "b", "c", "d", "e"}, {"c", "d", "a", "e", "b"}},
      {99, {"a"}, {"a"}},
      {99, {}, {}},
  };
  for (const auto& c : cases) {
    TPictureList list = c.in;
    ShufflePictureList(list, c.seed);
    EXPECT_EQ(list, c.out) << c.seed;
  }
  uint32_t seed = 0;
  EXPECT_EQ(NextRandom(seed, 10), 0u);
  EXPECT_EQ(seed, 1u);
  EXPECT_EQ(NextRandom(seed, 10), 0u);
  EXPECT_EQ(seed, 134775814u);
  EXPECT_EQ(NextRandom(seed, 10), 8u);
  EXPECT_EQ(seed, 3698175007u);
}

TEST(PictureListShuffleTest, ClockSeededShuffleKeepsEveryLine) {
  TPictureList list;
  for (int i = 0; i < 100; ++i) list.push_back(std::to_string(i) + "=/p" + std::to_string(i));
  TPictureList shuffled = list;
  ShufflePictureList(shuffled);
  TPictureList sorted = shuffled;
  std::sort(sorted.begin(), sorted.end());
  TPictureList original = list;
  std::sort(original.begin(), original.end());
  EXPECT_EQ(sorted, original);
}

class FirstRunTest : public testing::Test {
 protected:
  std::vector<std::string> Run(const std::string& pictures, const std::string& list) {
    std::vector<std::string> messages;
    FirstRunScan(list, pictures, [&](std::string_view text) { messages.emplace_back(text); });
    return messages;
  }
  TTestFolder home_;
  TScopedEnv homeEnv_{"HOME", home_.Path()};
  TScopedEnv tz_{"TZ", "UTC0"};
  TScopedEnv locale_{"LC_ALL", "C"};
};

TEST_F(FirstRunTest, ScansTheRootSortedAndStoresIt) {
  home_.MakeFolder("Pictures");
  home_.Write("Pictures/new.jpg", "x");
  home_.Write("Pictures/old.PNG", "x");
  home_.Write("Pictures/readme.txt", "x");
  home_.MakeFolder("Pictures/sub");
  home_.Write("Pictures/sub/deep.jpg", "x");
  home_.SetTime("Pictures/new.jpg", kSample2012);
  home_.SetTime("Pictures/old.PNG", 1353456000);
  std::vector<std::string> messages;
  const TPictureList list =
      FirstRunScan(home_ / "list.dat", home_ / "Pictures", [&](std::string_view text) { messages.emplace_back(text); });
  const TPictureList expected = {"41234=" + home_ / "Pictures/old.PNG",
                                 "41234.5678935185=" + home_ / "Pictures/new.jpg"};
  EXPECT_EQ(list, expected);
  EXPECT_EQ(LoadPictureList(home_ / "list.dat"), expected);
  EXPECT_EQ(messages, (std::vector<std::string>{std::string(kFirstRunMessage), std::string(kScanDoneMessage)}));
}

TEST_F(FirstRunTest, NoPictureFolderStillEndsWithAnEmptyList) {
  home_.Write("stray.jpg", "x");  // in the home folder itself
  const std::string cases[] = {home_ / "Pictures", "", "/", home_.Path(), home_.Path() + "/", home_ / "."};
  for (const std::string& pictures : cases) {
    EXPECT_EQ(Run(pictures, home_ / "list.dat"),
              (std::vector<std::string>{std::string(kFirstRunMessage), std::string(kScanDoneMessage)}))
        << pictures;
    EXPECT_EQ(home_.Read("list.dat"), "") << pictures;
  }
}

TEST_F(FirstRunTest, AListThatCannotBeStoredStopsBeforeTheSecondMessage) {
  home_.MakeFolder("Pictures");
  home_.Write("plain", "x");
  std::vector<std::string> messages;
  EXPECT_THROW(FirstRunScan(home_ / "plain/list.dat", home_ / "Pictures",
                            [&](std::string_view text) { messages.emplace_back(text); }),
               EFileWriteError);
  EXPECT_EQ(messages, std::vector<std::string>{std::string(kFirstRunMessage)});
}

TEST_F(FirstRunTest, PictureFolderFromUserDirs) {
  TScopedEnv config("XDG_CONFIG_HOME", home_ / "cfg");
  EXPECT_EQ(UserPictureFolder(), home_ / "Pictures");  // no user-dirs.dirs
  home_.MakeFolder("cfg");
  const struct {
    const char* line;
    std::string folder;
  } cases[] = {
      {"XDG_PICTURES_DIR=\"$HOME/Bilder\"\n", home_ / "Bilder"},
      {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_PICTURES_DIR=\"/srv/photos\"\n", "/srv/photos"},
      {"XDG_PICTURES_DIR=\"$HOME/My \\\"Pics\\\"\"\n", home_ / "My \"Pics\""},
      {"XDG_PICTURES_DIR=\"$HOME/\"\n", home_.Path() + "/"},  // switched off: the home folder
      {"XDG_PICTURES_DIR=relative\n", home_ / "Pictures"},
  };
  for (const auto& c : cases) {
    home_.Write("cfg/user-dirs.dirs", c.line);
    EXPECT_EQ(UserPictureFolder(), c.folder) << c.line;
  }
  EXPECT_FALSE(IsScannablePictureFolder(home_.Path() + "/"));
  home_.MakeFolder("Bilder");
  EXPECT_TRUE(IsScannablePictureFolder(home_ / "Bilder"));
  TScopedEnv noHome("HOME", std::nullopt);
  EXPECT_EQ(UserPictureFolder(), "");
}

}  // namespace
}  // namespace rv
