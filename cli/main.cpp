// korrin: turns any file into an HP49 character-string object file.

#include "console.h"
#include "output.h"
#include "platform.h"
#include "run.h"

namespace {

template <typename Char>
int start(int argc, Char** argv)
{
    korrin::prepare_run();
    korrin::guard_output("korrin");
    korrin::print(korrin::banner);
    // Words after output_file are ignored.
    if (argc < 3) {
        korrin::print(korrin::missing_arguments);
        return 1;
    }
    return korrin::convert(argv[1], argv[2]);
}

}  // namespace

#ifdef _WIN32
// main would receive the names converted to the ANSI code page, which
// mangles every character the code page lacks; wmain receives them whole.
int wmain(int argc, wchar_t** argv)
{
    return start(argc, argv);
}
#else
int main(int argc, char** argv)
{
    return start(argc, argv);
}
#endif
