// The transcripts: every text korrin and unkorrin print, all of it on
// standard output.
// Users and scripts match these texts, so they never vary with the cause
// of a failure.

#ifndef KORRIN_CLI_CONSOLE_H
#define KORRIN_CLI_CONSOLE_H

#include <string>

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

inline constexpr char header_line[] = "Header: %s\n";
inline constexpr char characters_line[] = "Characters: %ju\n";
// What the calculator's BYTES command shows for the string, in HEX base:
// its checksum, then its size in bytes.
inline constexpr char bytes_line[] = "BYTES: # %Xh %ju.\n";
inline constexpr char unkorrin_done[] = "Done.\n\n";

inline constexpr char missing_arguments[] = "  *** Error: Missing arguments.\n\n";

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

// With the prolog found for %05X.
inline constexpr char not_string[] = "  *** Error: File <%s> holds no character string (prolog %05X).\n\n";

void print(const char* text);

// Prints `message` with `name` for its %s, and `value` for a number after
// it, and returns the exit status of a failed run, so a step that refuses
// to go on ends with `return fail(...)`.
int fail(const char* message, const std::string& name, unsigned value = 0);

}  // namespace korrin

#endif  // KORRIN_CLI_CONSOLE_H
