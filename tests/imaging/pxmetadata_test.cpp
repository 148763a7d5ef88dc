#include "imaging/pxmetadata.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rv {
namespace {

struct IptcRecord {
  int record, dataset;
  std::string data;
  friend bool operator==(const IptcRecord&, const IptcRecord&) = default;
};

void PrintTo(const IptcRecord& r, std::ostream* os) {
  *os << "(" << r.record << "," << r.dataset << ",\"" << r.data << "\")";
}

struct IptcCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<IptcRecord> expected;
};

class ParseIptcTest : public testing::TestWithParam<IptcCase> {};

TEST_P(ParseIptcTest, ReadsTheRecordsThatFit) {
  const IptcCase& c = GetParam();
  TPxIPTCInfoList list;
  list.AddRecord(9, 9, 1, "x");  // replaced by the parse
  // An exact-size copy, so a read past the end is caught by the sanitizer build.
  auto buffer = std::make_unique<uint8_t[]>(c.bytes.size());
  std::copy(c.bytes.begin(), c.bytes.end(), buffer.get());
  list.ParseIPTC(buffer.get(), static_cast<int>(c.bytes.size()));
  std::vector<IptcRecord> got;
  for (int i = 0; i < list.Count(); ++i) {
    const TPxIPTCInfo& info = list.Info(i);
    got.push_back({info.Record, info.Dataset, std::string(reinterpret_cast<const char*>(list.Data(i)), info.Length)});
  }
  EXPECT_EQ(got, c.expected);
  EXPECT_FALSE(list.Changed());
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ParseIptcTest,
    testing::Values(
        IptcCase{"OneRecord", {0x1C, 0x02, 0x05, 0x00, 0x03, 0x41, 0x42, 0x43}, {{2, 5, "ABC"}}},
        IptcCase{"LeadingBytesSkipped",
                 {0x00, 0x07, 0x1C, 0x02, 0x19, 0x00, 0x01, 0x5A, 0x1C, 0x02, 0x19, 0x00, 0x02, 0x51, 0x52},
                 {{2, 25, "Z"}, {2, 25, "QR"}}},
        IptcCase{"RecordRunsPastTheBuffer", {0x1C, 0x02, 0x05, 0x00, 0x09, 0x41, 0x42}, {}},
        IptcCase{"SecondRecordRunsPast",
                 {0x1C, 0x02, 0x05, 0x00, 0x01, 0x41, 0x1C, 0x02, 0x06, 0x01, 0x00, 0x42},
                 {{2, 5, "A"}}},
        IptcCase{"ExtendedLength", {0x1C, 0x08, 0x0A, 0x80, 0x04, 0x00, 0x00, 0x00, 0x02, 0x41, 0x42}, {{8, 10, "AB"}}},
        IptcCase{"ExtendedLengthTopBitSet", {0x1C, 0x08, 0x0A, 0x80, 0x04, 0xFF, 0xFF, 0xFF, 0xFE, 0x41, 0x42}, {}},
        IptcCase{"ExtendedLengthCutShort",
                 {0x1C, 0x02, 0x05, 0x00, 0x00, 0x1C, 0x08, 0x0A, 0x80, 0x04, 0x00, 0x00},
                 {{2, 5, ""}}},
        IptcCase{"StopsAtANonTagByte",
                 {0x1C, 0x02, 0x05, 0x00, 0x00, 0x33, 0x1C, 0x02, 0x06, 0x00, 0x00, 0x00},
                 {{2, 5, ""}}},
        IptcCase{"NoTag", {0x01, 0x02, 0x03}, {}}),
    [](const testing::TestParamInfo<IptcCase>& info) { return std::string(info.param.name); });

TEST(TPxIPTCInfoListTest, EditsSetTheChangedFlagAndAssignCopies) {
  TPxIPTCInfoList a;
  a.AddRecord(2, 120, 5, "hello");
  EXPECT_TRUE(a.Changed());
  TPxIPTCInfoList b;
  b.AssignFrom(a);
  a.ClearRecords();
  ASSERT_EQ(b.Count(), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.Data(0)), 5), "hello");
  EXPECT_EQ(b.Info(0).Dataset, 120);
}

TEST(TPxMarkerListTest, KeepsCopiesInFileOrder) {
  TPxMarkerList list;
  std::vector<uint8_t> big(65535, 0x11);
  uint8_t exif[] = {'E', 'x', 'i', 'f'};
  list.AddMarker(0xE0, "JFIF", 4);
  list.AddMarker(0xE1, exif, 4);
  list.AddMarker(0xE1, big.data(), 65535);
  exif[0] = 'X';  // the list holds its own copy
  EXPECT_EQ(list.IndexOfType(0xE1), 1);
  EXPECT_EQ(list.IndexOfType(0xFE), -1);
  EXPECT_EQ(list.MarkerData(1)[0], 'E');
  EXPECT_EQ(list.MarkerLength(2), 65535);

  list.ReplaceMarker(0, 0xFE, 2, "hi");
  list.DeleteMarker(1);
  list.DeleteMarker(7);  // out of range: ignored
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.MarkerType(0), 0xFE);
  EXPECT_EQ(list.MarkerLength(0), 2);
  EXPECT_EQ(list.MarkerType(1), 0xE1);
  EXPECT_EQ(list.MarkerData(5), nullptr);

  TPxMarkerList copy;
  copy.AddMarker(0xDB, "q", 1);
  copy.AssignFrom(list);
  list.MarkerData(0)[0] = 'X';
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(copy.MarkerData(0)[0], 'h');
  EXPECT_EQ(copy.MarkerLength(1), 65535);
}

TEST(TPxListTest, SetCountKeepsLeadingItemsAndDeleteClosesTheGap) {
  TPxIntegerList list;
  for (int v : {10, 20, 30, 40}) list.Add(v);
  list.SetChanged(false);
  list.SetCount(6);
  EXPECT_TRUE(list.Changed());
  EXPECT_EQ(list.Item(3), 40);
  EXPECT_EQ(list.Item(5), 0);
  list.Delete(1);
  list.Delete(-1);
  list.Delete(5);
  ASSERT_EQ(list.Count(), 5);
  EXPECT_EQ(list.Item(0), 10);
  EXPECT_EQ(list.Item(1), 30);
  EXPECT_EQ(list.Item(2), 40);
  EXPECT_EQ(list.Item(9), 0);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(list.Changed());
}

TEST(TPxListTest, AssignFromCopiesItemsRangeAndCurrentValue) {
  TPxDoubleList a;
  a.Add(1.5);
  a.Add(-2.25);
  a.SetRange(0.5, 8.0, 0.25);
  a.SetCurrentValue(3.75);
  TPxDoubleList b;
  b.AssignFrom(a);
  ASSERT_EQ(b.Count(), 2);
  EXPECT_EQ(b.Item(1), -2.25);
  EXPECT_EQ(b.RangeMax(), 8.0);
  EXPECT_EQ(b.RangeStep(), 0.25);
  EXPECT_EQ(b.CurrentValue(), 3.75);
  EXPECT_TRUE(b.Changed());

  TPxIntegerList ints;
  ints.Add(7);
  ints.AssignFrom(a);  // another item type: ignored
  EXPECT_EQ(ints.ItemSize(), 4);
  EXPECT_EQ(ints.Item(0), 7);
}

TEST(TPxListTest, RecordListUsesItsOwnItemSize) {
  struct Rec {
    int32_t a;
    double b;
  };
  TPxRecordList list(sizeof(Rec));
  Rec r{5, 0.5};
  list.AddItem(&r);
  r.a = 6;
  list.AddItem(&r);
  const auto* second = reinterpret_cast<const Rec*>(list.ItemPtr(1));
  EXPECT_EQ(second->a, 6);
  EXPECT_EQ(reinterpret_cast<const Rec*>(list.ItemPtr(0))->a, 5);
  EXPECT_EQ(list.ItemPtr(2), nullptr);
}

}  // namespace
}  // namespace rv
