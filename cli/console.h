// The transcripts: every text korrin and unkorrin print.  The transcript
// goes to standard output; the system's reason for a failure, a line of its
// own, to standard error.  Users and scripts match the transcript's texts,
// so they never vary with the cause of a failure.

#ifndef KORRIN_CLI_CONSOLE_H
#define KORRIN_CLI_CONSOLE_H

#include "output.h"

#include <string>
#include <system_error>

// Messages are printf formats that the compiler checks against their
// arguments.  MinGW's C++ library prints through its own printf, which
// takes the same formats as glibc's (%ju among them), not msvcrt's.
#ifdef __MINGW32__
#define KORRIN_PRINTF(string, first) [[gnu::format(gnu_printf, string, first)]]
#else
#define KORRIN_PRINTF(string, first) [[gnu::format(printf, string, first)]]
#endif

namespace korrin {

inline constexpr char korrin_banner[] =
    "Korrin\n"
    "Version 1.0  12-jul-2001\n\n"
    "  Usage:  korrin input_file output_file\n\n";

// The first line end closes the line of dots; so does the one before a
// message that ends a run after the copy has begun.
inline constexpr char korrin_done[] = "\nDone.\n\n";
inline constexpr char end_of_dots[] = "\n";

inline constexpr char unkorrin_banner[] =
    "Unkorrin\n"
    "Version 1.0\n\n"
    "  Usage:  unkorrin object_file [output_file]\n\n";

// What -h and --help print, on standard output, and nothing else.
inline constexpr char korrin_usage[] =
    "Usage: korrin [option...] input_file [output_file]\n"
    "Wraps input_file in a character-string object file for the HP49G, 49g+,\n"
    "48gII and 50g calculators: sent to one, its bytes arrive as one string.\n"
    "With one file name the object is written beside the input, named after\n"
    "it with the extension .hp: notes.txt gives notes.hp.\n"
    "\n"
    "Options:\n"
    "  -t, --text     read the input as UTF-8 text and write the calculator's\n"
    "                 own characters; CR LF becomes LF\n"
    "  -a, --ascii    read the input in the calculator's ASCII transfer form,\n"
    "                 as its translated transfers write it (\\<< for the\n"
    "                 program delimiter, \\nnn for any character above 127)\n"
    "  -q, --quiet    print nothing but a failure, on standard error\n"
    "  -h, --help     print this help\n"
    "  -V, --version  print the release\n"
    "  --             end the options: what follows is a file name\n"
    "\n"
    "The whole manual: man korrin, or README.txt beside korrin.exe.\n";

inline constexpr char unkorrin_usage[] =
    "Usage: unkorrin [option...] object_file [output_file]\n"
    "Takes a character-string object file back to the string's bytes and\n"
    "writes them to output_file; with no output_file it only checks the\n"
    "object.  Either way it shows the figures the calculator's BYTES command\n"
    "shows for the string.\n"
    "\n"
    "Options:\n"
    "  -t, --text     write the string as UTF-8 text\n"
    "  -a, --ascii    write the string in the calculator's ASCII transfer form\n"
    "  -q, --quiet    print nothing but a failure, on standard error\n"
    "  -h, --help     print this help\n"
    "  -V, --version  print the release\n"
    "  --             end the options: what follows is a file name\n"
    "\n"
    "The whole manual: man unkorrin, or README.txt beside unkorrin.exe.\n";

// Started from Explorer with no file, after the banner and the usage.
inline constexpr char korrin_drop[] =
    "\nTo convert files, drop them onto korrin.exe: each becomes an object\n"
    "file beside it, named after it with the extension .hp.\n\n";
inline constexpr char unkorrin_drop[] =
    "\nTo check object files, drop them onto unkorrin.exe.\n\n";
// Started from Explorer, at the end: the window would close at once.
inline constexpr char press_enter[] = "Press Enter to close this window.\n";

inline constexpr char header_line[] = "Header: %s\n";
inline constexpr char characters_line[] = "Characters: %ju\n";
// What the calculator's BYTES command shows for the string, in HEX base:
// its checksum, then its size in bytes.
inline constexpr char bytes_line[] = "BYTES: # %Xh %ju.\n";
inline constexpr char unkorrin_done[] = "Done.\n\n";

inline constexpr char missing_arguments[] = "  *** Error: Missing arguments.\n\n";
inline constexpr char too_many_arguments[] = "  *** Error: Too many arguments.\n\n";
inline constexpr char unknown_option[] = "  *** Error: Unknown option <%s>.\n\n";

// Each of these names one file, given for %s.
inline constexpr char opening_failed[] = "  *** Error: Problem opening file <%s>.\n\n";
inline constexpr char reading_failed[] = "  *** Error: Problem reading file <%s>.\n\n";
inline constexpr char writing_failed[] = "  *** Error: Problem writing file <%s>.\n\n";
inline constexpr char too_large[] = "  *** Error: File <%s> is too large (at most 524285 bytes).\n\n";
inline constexpr char is_input[] = "  *** Error: Output file <%s> is the input file.\n\n";
inline constexpr char is_console[] = "  *** Error: Output file <%s> is standard output.\n\n";
inline constexpr char changed[] = "  *** Error: File <%s> changed while it was read.\n\n";
inline constexpr char not_object[] = "  *** Error: File <%s> is not an HP48 or HP49 object file.\n\n";
inline constexpr char broken_length[] = "  *** Error: File <%s> has a broken length field.\n\n";
inline constexpr char half_byte[] = "  *** Error: File <%s> holds a string that ends in half a byte.\n\n";
inline constexpr char ends_early[] = "  *** Error: File <%s> ends before its string does.\n\n";
inline constexpr char goes_on[] = "  *** Warning: File <%s> goes on after its object; the rest was ignored.\n\n";

// With the prolog found for %05X, and what kind of object it marks.
inline constexpr char not_string[] = "  *** Error: File <%s> holds no character string (prolog %05X).\n\n";
inline constexpr char not_a_string[] = "  *** Error: File <%s> holds %s, not a character string (prolog %05X).\n\n";

// Text that does not become a string: the place of the character, counted
// in characters from 1.
inline constexpr char no_character[] =
    "  *** Error: File <%s>, line %ju, column %ju: U+%04X has no calculator character.\n\n";
inline constexpr char not_utf8[] = "  *** Error: File <%s>, line %ju, column %ju: not UTF-8 text.\n\n";
inline constexpr char not_ascii[] = "  *** Error: File <%s>, line %ju, column %ju: not ASCII text.\n\n";

// Which program speaks on standard error, and whether a good run is
// silent: when `silent`, nothing goes to standard output, and a failure's
// message goes to standard error instead, as "<program>: <message>".
void set_console(const char* program, bool silent);

// Whether the run prints nothing but a failure.
bool quiet_run();

// What -V and --version print: "<program> <release>", then the licence.
void print_version(const char* program);

// The transcript: printed on standard output, or nothing when quiet.
KORRIN_PRINTF(1, 2) void report(const char* format, ...);
void print(const char* text);

// Prints the message `format`, whose first argument names the file, then,
// for a `cause` the system gave, "<program>: <file>: <reason>" on standard
// error.  Returns the exit status of a failed run, so a step that refuses
// to go on ends with `return fail(...)`.
KORRIN_PRINTF(2, 3) int fail(std::error_code cause, const char* format, ...);

// Says why the output named `name` was refused, and returns 1.
int refuse_output(refusal why, std::error_code cause, const std::string& name);

}  // namespace korrin

#endif  // KORRIN_CLI_CONSOLE_H
