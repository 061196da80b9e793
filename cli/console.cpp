#include "console.h"

#include <cstdio>

namespace korrin {

// Console writes are not checked: the console only reports, and a reader
// that went away must not change how the conversion ends.

void print(const char* text)
{
    std::fputs(text, stdout);
}

int fail(const char* message, const std::string& name, unsigned value)
{
    std::printf(message, name.c_str(), value);
    return 1;
}

}  // namespace korrin
