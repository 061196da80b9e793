// Which name converts files dropped from Explorer as text: decided from the
// name the program was started by, so tried here directly, on every system.

#include "start.h"

#include <gtest/gtest.h>

// Files dropped onto korrin-text.exe are converted as text; korrin.exe,
// and a name that only begins or ends like it, keeps their bytes.
TEST(Start, AsTextOnlyUnderTheTextName)
{
    for (const char* name : {"korrin-text.exe", "C:\\Tools\\KORRIN-TEXT.EXE", "/usr/bin/korrin-text", "korrin-text"})
        EXPECT_TRUE(korrin::starts_as_text(name)) << name;
    for (const char* name : {"korrin.exe", "korrin", "my-korrin-text.exe", "korrin-text.exe.bak", ""})
        EXPECT_FALSE(korrin::starts_as_text(name)) << name;
}
