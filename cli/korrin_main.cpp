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
    korrin::print(korrin::korrin_banner);
    // Words after output_file are ignored.
    if (argc < 3) {
        korrin::print(korrin::missing_arguments);
        return 1;
    }
    return korrin::convert(argv[1], argv[2]);
}

}  // namespace

#include "entry.h"
