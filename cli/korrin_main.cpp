// korrin: turns any file into an HP49 character-string object file.

#include "console.h"
#include "start.h"
#include "wrap.h"

namespace {

inline constexpr char korrin_banner[] =
    "Korrin\n"
    "Version 1.0  12-jul-2001\n\n"
    "  Usage:  korrin input_file output_file\n\n";


// What -h and --help print, on standard output, and nothing else.
inline constexpr char korrin_usage[] =
    "Usage: korrin [option...] input_file [output_file]\n"
    "       korrin [option...] input_file... folder\n"
    "       korrin [option...] --send [PORT] input_file...\n"
    "Wraps input_file in a character-string object file for the HP49G, 49g+,\n"
    "48gII and 50g calculators: sent to one, its bytes arrive as one string.\n"
    "With one file name the object is written beside the input, named after\n"
    "it with the extension .hp: notes.txt gives notes.hp.  An output_file\n"
    "that is a folder receives it under that name.  \"-\" is standard input,\n"
    "or, with -q, standard output.\n";

// The heading of the serial line's options in the help.
inline constexpr char korrin_line_usage[] =
    "Sending to the calculator, waiting in its Kermit server, RECV, XRECV or\n"
    "its XModem server (XSERV), which korrin finds by itself:\n";


// Started from Explorer with no file, after the banner and the usage.
inline constexpr char korrin_drop[] =
    "\nTo convert files, drop them onto korrin.exe: each becomes an object\n"
    "file beside it, named after it with the extension .hp.  Text files\n"
    "dropped onto korrin-text.exe become the calculator's own characters.\n\n";


const korrin::Program korrin_program = {
    "korrin",
    korrin_banner,
    korrin_usage,
    korrin_line_usage,
    korrin_drop,
    false,
    korrin::program_kind::korrin,
    "--send",
    korrin::send_queued,
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
