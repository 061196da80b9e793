// unkorrin: takes a string object file back to its bytes, and shows what
// the calculator's BYTES command shows for the string.

#include "console.h"
#include "output.h"
#include "platform.h"
#include "run.h"

namespace {

template <typename Char>
int start(int argc, Char** argv)
{
    korrin::prepare_run();
    korrin::guard_output("unkorrin");
    korrin::print(korrin::unkorrin_banner);
    if (argc < 2) {
        korrin::print(korrin::missing_arguments);
        return 1;
    }
    // Words after output_file are ignored; without it the object is only
    // checked.
    if (argc < 3)
        return korrin::unwrap(argv[1], nullptr);
    const std::filesystem::path output = argv[2];
    return korrin::unwrap(argv[1], &output);
}

}  // namespace

#include "entry.h"
