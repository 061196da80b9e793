// unkorrin: takes a string object file back to its bytes, and shows what
// the calculator's BYTES command shows for the string.

#include "console.h"
#include "start.h"
#include "unwrap.h"

namespace {

inline constexpr char unkorrin_banner[] =
    "Unkorrin\n"
    "Version 1.0\n\n"
    "  Usage:  unkorrin object_file [output_file]\n\n";


inline constexpr char unkorrin_usage[] =
    "Usage: unkorrin [option...] object_file [output_file]\n"
    "       unkorrin [option...] --receive [PORT] [output_file]\n"
    "       unkorrin [option...] --list [PORT]\n"
    "Takes a character-string object file back to the string's bytes and\n"
    "writes them to output_file; with no output_file it only checks the\n"
    "object.  Either way it shows the figures the calculator's BYTES command\n"
    "shows for the string.  An output_file that is a folder receives the\n"
    "string under the object's name without .hp.  \"-\" is standard input or\n"
    "standard output; the report then goes to standard error.\n";

inline constexpr char unkorrin_line_usage[] =
    "Receiving from the calculator (Kermit, or XModem with --xmodem):\n";


inline constexpr char unkorrin_drop[] =
    "\nTo check object files, drop them onto unkorrin.exe.\n\n";


const korrin::Program unkorrin_program = {
    "unkorrin",
    unkorrin_banner,
    unkorrin_usage,
    unkorrin_line_usage,
    unkorrin_drop,
    true,
    korrin::program_kind::unkorrin,
    "--receive",
    nullptr,
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
