#include "platform.h"

#include <gtest/gtest.h>

namespace {

// A Windows program waits for Enter only when Explorer started it, alone on
// a console window of its own: not from a command prompt, which shares its
// console; not with its output redirected; not from a Unix shell under
// wine, where it is alone on a console that no Explorer opened.
TEST(ExplorerStart, OnlyAloneOnAWindowThatExplorerOpened)
{
    EXPECT_TRUE(korrin::explorer_start(1, true, "explorer.exe"));
    EXPECT_TRUE(korrin::explorer_start(1, true, "EXPLORER.EXE"));
    EXPECT_FALSE(korrin::explorer_start(2, true, "explorer.exe"));
    EXPECT_FALSE(korrin::explorer_start(1, false, "explorer.exe"));
    EXPECT_FALSE(korrin::explorer_start(0, false, "explorer.exe"));
    EXPECT_FALSE(korrin::explorer_start(1, true, "cmd.exe"));
    EXPECT_FALSE(korrin::explorer_start(1, true, ""));
}

}  // namespace
