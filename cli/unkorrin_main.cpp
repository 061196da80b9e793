// unkorrin: takes a string object file back to its bytes, and shows what
// the calculator's BYTES command shows for the string.

#include "console.h"
#include "start.h"
#include "unwrap.h"

namespace {

const korrin::Program unkorrin_program = {
    "unkorrin",
    korrin::unkorrin_banner,
    korrin::unkorrin_usage,
    korrin::unkorrin_drop,
    true,
    " --receive --list --get --xmodem --kermit --baud ",
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
    return korrin::start(unkorrin_program, korrin::unwrap, argc, argv);
}
