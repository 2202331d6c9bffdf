// Bounded formatting and copying.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/console.h"

namespace {

TEST(FormatText, FormatsCutsAndAlwaysTerminates) {
  char buffer[8];
  memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(4, FormatText(buffer, sizeof buffer, "%0.02f", 1.2));
  EXPECT_STREQ("1.20", buffer);
  EXPECT_EQ(7, FormatText(buffer, sizeof buffer, "%s", "0123456789"));
  EXPECT_STREQ("0123456", buffer);
  EXPECT_EQ(-1, FormatText(buffer, 0, "%s", "x"));
  EXPECT_EQ(-1, FormatText(nullptr, 8, "%s", "x"));
}

TEST(CopyText, BoundedCopyAndAppend) {
  char buffer[6];
  EXPECT_EQ(5u, CopyText(buffer, sizeof buffer, "abcdefgh"));
  EXPECT_STREQ("abcde", buffer);
  CopyText(buffer, sizeof buffer, "ab");
  EXPECT_EQ(5u, AppendText(buffer, sizeof buffer, "cdefg"));
  EXPECT_STREQ("abcde", buffer);
  // An unterminated destination is cut at its bound, never read past it.
  memset(buffer, 'q', sizeof buffer);
  EXPECT_EQ(5u, AppendText(buffer, sizeof buffer, "x"));
  EXPECT_EQ('\0', buffer[5]);
}

TEST(VirtualClock, SleepsMoveTimeAndRunSettleHooksFirst) {
  VirtualClock clock(1'000'000);
  int64_t seenAtHook = -1;
  clock.AddSettleHook([&] { seenAtHook = clock.NowMs(); });
  SetClock(&clock);
  SleepMs(2500);
  SetClock(nullptr);
  EXPECT_EQ(1'000'000, seenAtHook);
  EXPECT_EQ(1'002'500, clock.NowMs());
  EXPECT_EQ(1'002, clock.NowSeconds());
  EXPECT_EQ(2500, clock.SleptMs());
}

}  // namespace
