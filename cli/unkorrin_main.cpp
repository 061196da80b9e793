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
    "standard output; the report then goes to standard error.\n"
    "\n"
    "Options:\n"
    "  -t, --text     write the string as UTF-8 text\n"
    "  -a, --ascii    write the string in the calculator's ASCII transfer form\n"
    "  -q, --quiet    print nothing but a failure, on standard error\n"
    "  -h, --help     print this help\n"
    "  -V, --version  print the release\n"
    "  --             end the options: what follows is a file name\n"
    "\n"
    "Receiving from the calculator (Kermit, or XModem with --xmodem):\n"
    "  --receive [PORT]\n"
    "                 receive what SEND or XSEND sends over the serial port\n"
    "                 PORT, or the calculator's, found; a file name given\n"
    "                 is the output_file\n"
    "  --get NAME     ask the calculator's Kermit or XModem server for the\n"
    "                 variable NAME\n"
    "  --list [PORT]  list the variables the calculator's server holds\n"
    "  --xmodem       receive by XModem, from XSEND or XSERV\n"
    "  --kermit       ask the Kermit server only\n"
    "  --baud N       the line's speed, 1200 to 115200 (default 9600)\n"
    "  --ports        list the serial ports there are, the calculator's first\n"
    "\n"
    "The whole manual: man unkorrin, or README.txt beside unkorrin.exe.\n";

inline constexpr char unkorrin_drop[] =
    "\nTo check object files, drop them onto unkorrin.exe.\n\n";


const korrin::Program unkorrin_program = {
    "unkorrin",
    unkorrin_banner,
    unkorrin_usage,
    unkorrin_drop,
    true,
    korrin::program_kind::unkorrin,
    "--receive",
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
