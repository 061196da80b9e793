// The console: how korrin and unkorrin print.  The transcript goes to
// standard output; the system's reason for a failure, a hint or a note,
// each a line of its own, to standard error.  The texts are in messages.h.
//
// Messages are stored bare, as a sentence; one function decorates them for
// the transcript ("  *** Error: " and an empty line after) or, in a quiet
// run, for standard error ("korrin: " before).

#ifndef KORRIN_CLI_CONSOLE_H
#define KORRIN_CLI_CONSOLE_H

#include "messages.h"
#include "output.h"

#include <cstdint>
#include <filesystem>
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

// How a message stands in the transcript.
enum class severity { error, warning };

// Which program speaks on standard error, and whether a good run is
// silent: when `silent`, nothing goes to standard output, and a failure's
// message goes to standard error instead, as "<program>: <message>".
void set_console(const char* program, bool silent);

// Whether the run prints nothing but a failure.
bool quiet_run();

// Whether standard output is a terminal, a console on Windows.
bool stdout_is_terminal();

// The transcript goes to standard error from now on: standard output
// carries the product.
void report_on_standard_error();

// The transcript: printed on standard output, or nothing when quiet.
KORRIN_PRINTF(1, 2) void report(const char* format, ...);
void print(const char* text);

// One dot for each of `count` bytes copied, unless the run is quiet.
void print_dots(std::uintmax_t count);

// Prints the message `format` as an error of the transcript, then, for a
// `cause` the system gave, "<program>: <file>: <reason>" on standard
// error.  Returns the exit status of a failed run, so a step that refuses
// to go on ends with `return fail(...)`.
KORRIN_PRINTF(3, 4) int fail(std::error_code cause, const std::string& file, const char* format, ...);

// The same for a message that names no file and has no cause.
KORRIN_PRINTF(1, 2) int refuse(const char* format, ...);

// Prints the message `format` as a warning of the transcript.
KORRIN_PRINTF(1, 2) void warn(const char* format, ...);

// The text a printf format makes, however long.
KORRIN_PRINTF(1, 2) std::string format_text(const char* format, ...);

// A line on standard error, after "<program>: ", whatever the run: hints
// and notes that help the user, never part of the transcript.
KORRIN_PRINTF(1, 2) void note(const char* format, ...);

// Prints `text` on standard output, for -h and -V, where it is the
// product: returns 0, or 1 with the reason when it could not be written.
int print_product(const std::string& text);

// Says why the output named `name` was refused, and returns 1.
int refuse_output(refusal why, std::error_code cause, const std::string& name);

// The system's own words for `cause`, as a user reads them.
std::string reason(std::error_code cause);

// A text from outside the program (a name or a message the calculator
// sent, UTF-8) as it is printed: its controls and format characters
// escaped, in the console's code page on Windows as display_name gives.
std::string shown_text(const std::string& text);

// `file` as it is printed in a message: its bytes as given on POSIX, and
// "-" as itself.  On Windows it is converted to the console's code page,
// or to the ANSI code page when output is redirected, with '?' for what
// the page lacks.
std::string display_name(const std::filesystem::path& file);

}  // namespace korrin

#endif  // KORRIN_CLI_CONSOLE_H
