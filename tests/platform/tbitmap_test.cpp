#include "platform/tbitmap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/system.h"

namespace rv {
namespace {

TEST(TBitmap, RowsArePaddedAndTopDown) {
  struct Case {
    TPixelFormat f;
    int width, rowLength;
  } cases[] = {{TPixelFormat::pf1bit, 33, 8},  {TPixelFormat::pf4bit, 9, 8},   {TPixelFormat::pf8bit, 5, 8},
               {TPixelFormat::pf16bit, 3, 8},  {TPixelFormat::pf24bit, 5, 16}, {TPixelFormat::pf32bit, 3, 12},
               {TPixelFormat::pfDevice, 3, 12}};
  for (const Case& c : cases) {
    TBitmap b;
    b.SetPixelFormat(c.f);
    b.SetSize(c.width, 3);
    EXPECT_EQ(b.RowLength(), c.rowLength) << b.BitCount();
    EXPECT_EQ(b.ScanLine(2) - b.ScanLine(0), 2 * c.rowLength);
  }
}

TEST(TBitmap, ChangeNotificationFiresWhenPixelsAreReplaced) {
  TBitmap b;
  int changes = 0;
  b.RegisterChangeListener([&](TBitmap& sender) {
    EXPECT_EQ(&sender, &b);
    ++changes;
  });
  b.SetSize(4, 4);
  EXPECT_EQ(changes, 1);
  b.SetSize(4, 4);  // nothing replaced
  EXPECT_EQ(changes, 1);
  b.SetPixelFormat(TPixelFormat::pf24bit);
  EXPECT_EQ(changes, 2);
  TBitmap other;
  other.SetPixelFormat(TPixelFormat::pf24bit);
  other.SetSize(2, 2);
  b.Draw(other);
  EXPECT_EQ(changes, 3);
  b.Assign(other);
  EXPECT_EQ(changes, 4);
}

// Records every listener call by name, marking calls with a foreign sender.
struct TChangeLog {
  std::vector<std::string> calls;
  TBitmapChangeProc Listener(const TBitmap& owner, const std::string& name) {
    return [this, &owner, name](TBitmap& sender) { calls.push_back(&sender == &owner ? name : name + "?"); };
  }
};

TEST(TBitmap, EveryListenerHearsOfAChangeInRegistrationOrder) {
  TChangeLog log;
  TBitmap b;
  const TBitmapListenerHandle view = b.RegisterChangeListener(log.Listener(b, "view"));
  const TBitmapListenerHandle program = b.RegisterChangeListener(log.Listener(b, "program"));
  b.SetSize(2, 2);
  const TRGBQuad entry{1, 2, 3, 0};
  b.SetColorTable(0, 1, &entry);
  EXPECT_EQ(log.calls, (std::vector<std::string>{"view", "program", "view", "program"}));

  log.calls.clear();
  b.UnregisterChangeListener(-1);
  b.UnregisterChangeListener(view + program + 100);
  b.UnregisterChangeListener(view);
  b.UnregisterChangeListener(view);
  b.Changed();
  EXPECT_EQ(log.calls, std::vector<std::string>{"program"});
}

TEST(TBitmap, AListenerMayChangeTheListFromItsCall) {
  TChangeLog log;
  TBitmap b;
  TBitmapListenerHandle self = -1, later = -1;
  self = b.RegisterChangeListener([&](TBitmap& sender) {
    log.calls.push_back("self");
    sender.UnregisterChangeListener(self);
    sender.UnregisterChangeListener(later);
    // Registered during the call: heard from the next change on.
    sender.RegisterChangeListener(log.Listener(b, "added"));
  });
  later = b.RegisterChangeListener(log.Listener(b, "later"));
  b.RegisterChangeListener(log.Listener(b, "last"));
  b.Changed();
  b.Changed();
  EXPECT_EQ(log.calls, (std::vector<std::string>{"self", "last", "last", "added"}));
}

TEST(TBitmap, ResizeKeepsTheOverlappingPixels) {
  TBitmap b;
  b.SetPixelFormat(TPixelFormat::pf24bit);
  b.SetSize(3, 3);
  b.ScanLine(1)[3] = 77;
  b.SetSize(10, 2);
  EXPECT_EQ(b.ScanLine(1)[3], 77);
  EXPECT_EQ(b.ScanLine(1)[20], 0);
}

TEST(TBitmap, DepthChangesKeepTheColours) {
  TBitmap b;
  b.SetPixelFormat(TPixelFormat::pf24bit);
  b.SetSize(2, 1);
  const uint8_t red[3] = {0, 0, 255}, white[3] = {255, 255, 255};
  b.SetPixelBGR(0, 0, red);
  b.SetPixelBGR(1, 0, white);
  for (TPixelFormat f : {TPixelFormat::pf32bit, TPixelFormat::pf16bit, TPixelFormat::pf8bit, TPixelFormat::pf4bit,
                         TPixelFormat::pf24bit}) {
    b.SetPixelFormat(f);
    uint8_t c[3];
    b.PixelBGR(0, 0, c);
    EXPECT_GE(c[2], 248) << TBitmap::BitCountOf(f);  // 5-bit red reads back as 248
    EXPECT_EQ(c[0], 0) << TBitmap::BitCountOf(f);
    b.PixelBGR(1, 0, c);
    EXPECT_GE(c[1], 248) << TBitmap::BitCountOf(f);
  }
  // Device-dependent form and back restores the depth.
  b.SetPixelFormat(TPixelFormat::pf1bit);
  b.SetDeviceDependent(true);
  EXPECT_EQ(b.BitCount(), 32);
  b.SetDeviceDependent(false);
  EXPECT_EQ(b.BitCount(), 1);
  EXPECT_TRUE(b.Monochrome());
  EXPECT_EQ(b.ScanLine(0)[0] & 0xC0, 0x40);  // red is nearer black, white stays white
}

TEST(TBitmap, DrawClipsToTheSmallerPicture) {
  TBitmap big, small;
  big.SetPixelFormat(TPixelFormat::pf24bit);
  big.SetSize(4, 4);
  small.SetPixelFormat(TPixelFormat::pf8bit);
  small.SetSize(2, 6);
  small.ScanLine(1)[1] = 215;  // the last cube entry is white
  big.Draw(small);
  uint8_t c[3];
  big.PixelBGR(1, 1, c);
  EXPECT_EQ(c[0], 255);
  big.PixelBGR(3, 3, c);
  EXPECT_EQ(c[0], 0);
}

TEST(TBitmap, HugeSizesAreRefusedWithoutChange) {
  TBitmap b;
  b.SetPixelFormat(TPixelFormat::pf24bit);
  b.SetSize(2, 2);
  EXPECT_THROW(b.SetSize(2000000000, 2000000000), std::bad_alloc);
  EXPECT_EQ(b.Width(), 2);
}

TEST(System, ServicesAnswer) {
  EXPECT_GT(FreePhysicalMemory(), 0u);
  const std::string dir = TempDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  const uint64_t t = TickCountMs();
  EXPECT_GE(TickCountMs(), t);
}

}  // namespace
}  // namespace rv
