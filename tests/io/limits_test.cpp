#include "io/limits.h"

#include <gtest/gtest.h>

#include <string>

namespace rv {
namespace {

struct LimitCase {
  const char* name;
  int64_t width, height;
  int bits;
  int64_t rowBytes, dataBytes;
  bool ok;
  int64_t rows;  // RowsInData when ok
};

class CheckImageHeaderTest : public testing::TestWithParam<LimitCase> {};

TEST_P(CheckImageHeaderTest, RefusesOrReportsTheRowsPresent) {
  const LimitCase& c = GetParam();
  bool aborted = false;
  TProgressRecord progress;
  progress.Aborted = &aborted;
  TImageHeader h;
  h.Format = "TEST";
  h.Offset = 14;
  h.Width = c.width;
  h.Height = c.height;
  h.BitsPerPixel = c.bits;
  h.RowBytes = c.rowBytes;
  h.DataBytes = c.dataBytes;
  const THeaderCheck r = CheckImageHeader(h, progress);
  EXPECT_EQ(r.Ok, c.ok);
  EXPECT_EQ(aborted, !c.ok);
  if (c.ok) {
    EXPECT_EQ(r.RowsInData, c.rows);
    EXPECT_EQ(progress.AbortReason, "");
  } else {
    EXPECT_EQ(progress.AbortReason.rfind("TEST: header at offset 14: ", 0), 0u) << progress.AbortReason;
  }
}

constexpr int64_t k2p31 = int64_t(1) << 31;

INSTANTIATE_TEST_SUITE_P(Headers, CheckImageHeaderTest,
                         testing::Values(LimitCase{"hostile_2p31_square", k2p31, k2p31, 24, 0, -1, false, 0},
                                         LimitCase{"negative_height", 10, -k2p31, 24, 0, -1, false, 0},
                                         LimitCase{"zero_width", 0, 10, 8, 0, -1, false, 0},
                                         LimitCase{"side_at_limit", 1000000, 1, 8, 0, -1, true, 1},
                                         LimitCase{"side_over_limit", 1000001, 1, 8, 0, -1, false, 0},
                                         LimitCase{"pixels_at_limit", 16384, 16384, 8, 0, -1, true, 16384},
                                         LimitCase{"pixels_over_limit", 16385, 16384, 8, 0, -1, false, 0},
                                         LimitCase{"no_bits", 10, 10, 0, 0, -1, false, 0},
                                         LimitCase{"whole_file", 10, 4, 24, 32, 128, true, 4},
                                         LimitCase{"more_data_than_rows", 10, 4, 24, 32, 1000, true, 4},
                                         LimitCase{"truncated_with_partial_row", 10, 4, 24, 32, 3 * 32 + 5, true, 4},
                                         LimitCase{"truncated_two_rows", 10, 100, 24, 32, 64, true, 2},
                                         LimitCase{"row_bytes_from_width", 9, 10, 1, 0, 5, true, 3},  // 2 bytes per row
                                         // A header-only file keeps its size while the claim stays small.
                                         LimitCase{"no_pixel_byte", 10, 4, 24, 32, 0, true, 0},
                                         LimitCase{"huge_claim_tiny_file", 1000000, 268, 24, 3000000, 100, false, 0},
                                         // 64 MiB may always be claimed, 64 times the bytes present beyond that;
                                         // pixels of less than a byte count a byte each.
                                         LimitCase{"claim_at_the_floor", 8192, 8192, 8, 0, 0, true, 0},
                                         LimitCase{"claim_over_the_floor", 8192, 8193, 8, 0, 0, false, 0},
                                         LimitCase{"claim_at_the_factor", 8192, 16384, 8, 0, 2 << 20, true, 256},
                                         LimitCase{"claim_over_the_factor", 8192, 16385, 8, 0, 2 << 20, false, 0},
                                         LimitCase{"one_bit_pixels_count_a_byte", 8192, 8193, 1, 1024, 1, false, 0}),
                         [](const testing::TestParamInfo<LimitCase>& i) { return std::string(i.param.name); });

TEST(CheckImageHeaderTest, CompressedDataIsBoundByTheFormatsExpansion) {
  bool aborted = false;
  TProgressRecord progress;
  progress.Aborted = &aborted;
  TImageHeader h;
  h.Width = 1000;
  h.Height = 1000;
  h.BitsPerPixel = 8;
  h.MaxPixelsPerByte = 1000;
  h.CompressedBytes = 999;
  EXPECT_FALSE(CheckImageHeader(h, progress).Ok);
  EXPECT_TRUE(aborted);
  aborted = false;
  h.CompressedBytes = 1000;
  const THeaderCheck r = CheckImageHeader(h, progress);
  EXPECT_TRUE(r.Ok);
  EXPECT_EQ(r.RowsInData, 1000);
  EXPECT_FALSE(aborted);
}

TEST(CheckImageHeaderTest, LimitsCanBeLoweredButNotRaised) {
  bool aborted = false;
  TProgressRecord progress;
  progress.Aborted = &aborted;
  TImageLimits own;
  own.MaxSide = 100;
  own.MaxPixels = 5000;
  progress.Limits = &own;
  EXPECT_TRUE(CheckImageHeader("T", 100, 50, 8, -1, 0, progress));
  EXPECT_FALSE(CheckImageHeader("T", 101, 1, 8, -1, 0, progress));
  EXPECT_FALSE(CheckImageHeader("T", 100, 51, 8, -1, 0, progress));

  own.MaxSide = int64_t(1) << 40;  // above the hard maximum: clamped
  own.MaxPixels = int64_t(1) << 40;
  EXPECT_FALSE(CheckImageHeader("T", 1000001, 1, 8, -1, 0, progress));
  EXPECT_FALSE(CheckImageHeader("T", 20000, 20000, 8, -1, 0, progress));

  const TImageLimits saved = ProcessImageLimits();
  TImageLimits lower;
  lower.MaxSide = 64;
  SetProcessImageLimits(lower);
  progress.Limits = nullptr;
  EXPECT_FALSE(CheckImageHeader("T", 65, 1, 8, -1, 0, progress));
  EXPECT_TRUE(CheckImageHeader("T", 64, 64, 8, -1, 0, progress));
  SetProcessImageLimits(saved);
  EXPECT_TRUE(CheckImageHeader("T", 65, 1, 8, -1, 0, progress));
}

TEST(ProgressRecordTest, FailKeepsTheFirstReasonAndReportTruncates) {
  bool aborted = false;
  TProgressRecord progress;
  progress.Aborted = &aborted;
  progress.Fail("first");
  progress.Fail("second");
  EXPECT_TRUE(progress.IsAborted());
  EXPECT_EQ(progress.AbortReason, "first");

  int seen = -1;
  progress.Callback = [&](void*, int percent) { seen = percent; };
  progress.Scale = 100.0 / 3;
  progress.Report(2);  // 66.66… is truncated
  EXPECT_EQ(seen, 66);

  TProgressRecord unattached;  // no flag: Fail must not crash and reports nothing aborted
  unattached.Fail("x");
  EXPECT_FALSE(unattached.IsAborted());
}

}  // namespace
}  // namespace rv
