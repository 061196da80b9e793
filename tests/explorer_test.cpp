// Which start the programs take as Explorer's, and which name converts
// dropped files as text: decided from what Windows reports, so tried here
// directly, on every system.

#include "start.h"

#include <gtest/gtest.h>

// A program started by Explorer is alone on a console it shows; under a
// command prompt or a Unix shell, or redirected, it is not.
TEST(Start, FromExplorerOnlyAloneOnItsConsoleAndUnderExplorer)
{
    EXPECT_TRUE(korrin::explorer_start(1, true, "explorer.exe"));
    EXPECT_TRUE(korrin::explorer_start(1, true, "EXPLORER.EXE"));
    EXPECT_FALSE(korrin::explorer_start(2, true, "explorer.exe"));
    EXPECT_FALSE(korrin::explorer_start(1, false, "explorer.exe"));
    EXPECT_FALSE(korrin::explorer_start(0, false, "explorer.exe"));
    EXPECT_FALSE(korrin::explorer_start(1, true, "cmd.exe"));
    EXPECT_FALSE(korrin::explorer_start(1, true, ""));
}

// Files dropped onto korrin-text.exe are converted as text; korrin.exe,
// and a name that only begins or ends like it, keeps their bytes.
TEST(Start, AsTextOnlyUnderTheTextName)
{
    for (const char* name : {"korrin-text.exe", "C:\\Tools\\KORRIN-TEXT.EXE", "/usr/bin/korrin-text", "korrin-text"})
        EXPECT_TRUE(korrin::starts_as_text(name)) << name;
    for (const char* name : {"korrin.exe", "korrin", "my-korrin-text.exe", "korrin-text.exe.bak", ""})
        EXPECT_FALSE(korrin::starts_as_text(name)) << name;
}
