// korrin: turns any file into an HP49 character-string object file.

#include "console.h"
#include "start.h"
#include "wrap.h"

namespace {

const korrin::Program korrin_program = {
    "korrin",
    korrin::korrin_banner,
    korrin::korrin_usage,
    korrin::korrin_drop,
    false,
    " --send --name --xmodem --kermit --baud --finish ",
};

}  // namespace

#ifdef _WIN32
// main would receive the names converted to the ANSI code page, which
// mangles every character the code page lacks; wmain receives them whole.
int wmain(int argc, wchar_t** argv)
#else
int main(int argc, char** argv)
#endif
{
    return korrin::start(korrin_program, korrin::wrap, argc, argv);
}
