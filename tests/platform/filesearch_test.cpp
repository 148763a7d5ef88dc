#include "platform/filesearch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "platform/testfolder.h"

namespace rv {
namespace {

using test::kSample2012;
using test::TTestFolder;

std::map<std::string, TEntryKind> Entries(const std::string& folder) {
  std::map<std::string, TEntryKind> entries;
  TFolderSearch search(folder);
  std::string_view name;
  TEntryKind kind;
  while (search.Next(&name, &kind)) EXPECT_TRUE(entries.emplace(std::string(name), kind).second) << name;
  return entries;
}

TEST(FolderSearchTest, ClassesEveryKindOfEntry) {
  TTestFolder folder;
  folder.Write("photo.jpg", "x");
  folder.MakeFolder("holiday.jpg");
  folder.Write(".hidden.jpg", "x");
  folder.MakeFolder(".cache");
  folder.Link("photo.jpg", "to-file.jpg");
  folder.Link("holiday.jpg", "to-folder");
  folder.Link(".", "self");
  folder.Link("nowhere.jpg", "dangling.jpg");
  ASSERT_EQ(mkfifo((folder / "pipe.jpg").c_str(), 0600), 0);
  const std::map<std::string, TEntryKind> expected = {
      {"photo.jpg", TEntryKind::ekFile},  {"holiday.jpg", TEntryKind::ekFolder}, {"to-file.jpg", TEntryKind::ekFile},
      {"to-folder", TEntryKind::ekOther}, {"self", TEntryKind::ekOther},         {"dangling.jpg", TEntryKind::ekOther},
      {"pipe.jpg", TEntryKind::ekOther},
  };
  EXPECT_EQ(Entries(folder.Path()), expected);
}

TEST(FolderSearchTest, MissingOrUnreadableFoldersHaveNoEntries) {
  TTestFolder folder;
  folder.Write("file", "x");
  for (const std::string& path : {folder / "missing", folder / "file", std::string()}) {
    TFolderSearch search(path);
    EXPECT_FALSE(search.IsOpen()) << path;
    EXPECT_TRUE(Entries(path).empty()) << path;
  }
}

TEST(FolderSearchTest, TimesOfEntriesFollowLinks) {
  TTestFolder folder;
  folder.Write("a.jpg", "x");
  folder.SetTime("a.jpg", kSample2012, 123456789);
  folder.Link("a.jpg", "b.jpg");
  folder.SetTime("b.jpg", 1000);  // the link's own time does not count
  TFolderSearch search(folder.Path());
  int64_t ms = 0;
  ASSERT_TRUE(search.LastWriteTimeMs("a.jpg", &ms));
  EXPECT_EQ(ms, kSample2012 * 1000 + 123);
  ms = 0;
  ASSERT_TRUE(search.LastWriteTimeMs("b.jpg", &ms));
  EXPECT_EQ(ms, kSample2012 * 1000 + 123);
  EXPECT_FALSE(search.LastWriteTimeMs("gone.jpg", &ms));
}

}  // namespace
}  // namespace rv
