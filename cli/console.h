// The transcript: every text korrin prints, all of it on standard output.
// Users and scripts match these texts, so they never vary with the cause
// of a failure.

#ifndef KORRIN_CLI_CONSOLE_H
#define KORRIN_CLI_CONSOLE_H

#include <string>

namespace korrin {

inline constexpr char banner[] =
    "Korrin\n"
    "Version 1.0  12-jul-2001\n\n"
    "  Usage:  korrin input_file output_file\n\n";

// The first line end closes the line of dots; so does the one before a
// message that ends a run after the copy has begun.
inline constexpr char done[] = "\nDone.\n\n";
inline constexpr char end_of_dots[] = "\n";

inline constexpr char missing_arguments[] = "  *** Error: Missing arguments.\n\n";

// Each of these names one file, given for %s.
inline constexpr char opening_failed[] = "  *** Error: Problem opening file <%s>.\n\n";
inline constexpr char reading_failed[] = "  *** Error: Problem reading file <%s>.\n\n";
inline constexpr char writing_failed[] = "  *** Error: Problem writing file <%s>.\n\n";
inline constexpr char too_large[] = "  *** Error: File <%s> is too large (at most 524285 bytes).\n\n";
inline constexpr char is_input[] = "  *** Error: Output file <%s> is the input file.\n\n";
inline constexpr char is_console[] = "  *** Error: Output file <%s> is standard output.\n\n";
inline constexpr char changed[] = "  *** Error: File <%s> changed while it was read.\n\n";

void print(const char* text);

// Prints `message` with `name` for its %s, and returns the exit status of a
// failed run, so a step that refuses to go on ends with `return fail(...)`.
int fail(const char* message, const std::string& name);

}  // namespace korrin

#endif  // KORRIN_CLI_CONSOLE_H
