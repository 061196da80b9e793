// The transcripts: every text korrin and unkorrin print.  The transcript
// goes to standard output; the system's reason for a failure, a hint or a
// note, each a line of its own, to standard error.  Users and scripts match
// the transcript's texts, so they never vary with the cause of a failure.
//
// Messages are stored bare, as a sentence; one function decorates them for
// the transcript ("  *** Error: " and an empty line after) or, in a quiet
// run, for standard error ("korrin: " before).

#ifndef KORRIN_CLI_CONSOLE_H
#define KORRIN_CLI_CONSOLE_H

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
    "       korrin [option...] input_file... folder\n"
    "       korrin [option...] --send [PORT] input_file...\n"
    "Wraps input_file in a character-string object file for the HP49G, 49g+,\n"
    "48gII and 50g calculators: sent to one, its bytes arrive as one string.\n"
    "With one file name the object is written beside the input, named after\n"
    "it with the extension .hp: notes.txt gives notes.hp.  An output_file\n"
    "that is a folder receives it under that name.  \"-\" is standard input,\n"
    "or, with -q, standard output.\n"
    "\n"
    "Options:\n"
    "  -t, --text     read the input as UTF-8 text and write the calculator's\n"
    "                 own characters; CR LF becomes LF\n"
    "  -r, --replace  with --text, write a look-alike for each character the\n"
    "                 calculator lacks (\"?\" where there is none)\n"
    "  -a, --ascii    read the input in the calculator's ASCII transfer form,\n"
    "                 as its translated transfers write it (\\<< for the\n"
    "                 program delimiter, \\nnn for any character above 127)\n"
    "  -q, --quiet    print nothing but a failure, on standard error\n"
    "  -h, --help     print this help\n"
    "  -V, --version  print the release\n"
    "  --             end the options: what follows is a file name\n"
    "\n"
    "Sending to the calculator, waiting in its Kermit server, RECV, XRECV or\n"
    "its XModem server (XSERV), which korrin finds by itself:\n"
    "  --send [PORT]  send every file named over the serial port PORT\n"
    "                 (/dev/ttyUSB0, COM3), or over the calculator's, found;\n"
    "                 write no file\n"
    "  --name NAME    store it under NAME (default: input_file's name without\n"
    "                 its extension)\n"
    "  --kermit       send by Kermit only, to the server or RECV\n"
    "  --xmodem       send by XModem only, to XRECV or XSERV\n"
    "  --baud N       the line's speed, 1200 to 115200 (default 9600)\n"
    "  --finish       end the calculator's server after the send\n"
    "  --ports        list the serial ports there are, the calculator's first\n"
    "\n"
    "The whole manual: man korrin, or README.txt beside korrin.exe.\n";

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

// Started from Explorer with no file, after the banner and the usage.
inline constexpr char korrin_drop[] =
    "\nTo convert files, drop them onto korrin.exe: each becomes an object\n"
    "file beside it, named after it with the extension .hp.  Text files\n"
    "dropped onto korrin-text.exe become the calculator's own characters.\n\n";
inline constexpr char unkorrin_drop[] =
    "\nTo check object files, drop them onto unkorrin.exe.\n\n";
// Started from Explorer, at the end: the window would close at once.
inline constexpr char press_enter[] = "Press Enter to close this window.\n";

inline constexpr char header_line[] = "Header: %s\n";
// Before the header, for text the calculator's SEND wrote.
inline constexpr char sent_line[] = "Read: text the calculator sent, translation level %d\n";
inline constexpr char characters_line[] = "Characters: %ju\n";
// What the calculator's BYTES command shows for the string, in HEX base:
// its checksum, then its size in bytes.
inline constexpr char bytes_line[] = "BYTES: # %Xh %ju.\n";
inline constexpr char unkorrin_done[] = "Done.\n\n";

// Failures of the command line; each is followed by a hint naming --help.
inline constexpr char missing_arguments[] = "Missing arguments.";
inline constexpr char too_many_arguments[] = "Too many arguments.";
inline constexpr char unknown_option[] = "Unknown option <%s>.";
inline constexpr char one_file_only[] = "Option <%s> works with one file only.";
inline constexpr char baud_number[] = "Option <--baud> takes a speed in baud, not <%s>: 1200, 2400, 4800, 9600, 19200, "
                                      "38400, 57600 or 115200.";
// An option, then the one it works with.
inline constexpr char works_only_with[] = "Option <%s> works with %s only.";

// Each of these names one file, given for %s.
inline constexpr char opening_failed[] = "Problem opening file <%s>.";
inline constexpr char reading_failed[] = "Problem reading file <%s>.";
inline constexpr char writing_failed[] = "Problem writing file <%s>.";
inline constexpr char too_large[] = "File <%s> is too large (at most 524285 bytes).";
inline constexpr char is_input[] = "Output file <%s> is the input file.";
inline constexpr char is_console[] = "Output file <%s> is standard output.";
inline constexpr char written_before[] = "Output file <%s> was written before in this run.";
inline constexpr char changed[] = "File <%s> changed while it was read.";
inline constexpr char not_object[] = "File <%s> is not an HP48 or HP49 object file.";
inline constexpr char broken_length[] = "File <%s> has a broken length field.";
inline constexpr char half_byte[] = "File <%s> holds a string that ends in half a byte.";
inline constexpr char ends_early[] = "File <%s> ends before its string does.";
inline constexpr char goes_on[] = "File <%s> goes on after its object; the rest was ignored.";
inline constexpr char empty_name[] = "A file name is empty.";
inline constexpr char folder_missing[] = "Folder <%s> does not exist.";
inline constexpr char run_failed[] = "The run failed: %s.";

// With the prolog found for %05X, and what kind of object it marks.
inline constexpr char not_string[] = "File <%s> holds no character string (prolog %05X).";
inline constexpr char not_a_string[] = "File <%s> holds %s, not a character string (prolog %05X).";

// Text that does not become a string: the place of the character, counted
// in characters from 1.
inline constexpr char no_character[] = "File <%s>, line %ju, column %ju: %s has no calculator character.";
inline constexpr char byte_order_mark[] = "File <%s>, line 1, column 1: a UTF-8 byte-order mark, not ASCII text.";
inline constexpr char not_utf8[] = "File <%s>, line %ju, column %ju: not UTF-8 text.";
inline constexpr char not_as_sent[] = "File <%s>, line %ju, column %ju: not a string as the calculator sends one.";
inline constexpr char not_ascii[] = "File <%s>, line %ju, column %ju: not ASCII text.";

// The serial line.
inline constexpr char sent_line_text[] = "Sent %s, %zu bytes, by Kermit.\n";
// On a terminal, before the transfer: the port, and where the calculator
// must wait.
inline constexpr char waiting_line[] = "Waiting for the calculator on %s: start %s. Ctrl-C stops.\n";
// On a terminal, after the progress line, as the check begins.
inline constexpr char checking_line[] = "\nChecking what the calculator holds...";
// To the calculator's XModem server, which stores under the name sent.
inline constexpr char sent_to_server[] = "Sent %s, %zu bytes, by XModem to the calculator's XModem server.\n";
// Where a put onto a name that was taken went.
inline constexpr char checked_beside[] = "Checked: the calculator holds %s, a string, # %04Xh, as sent; %s was there "
                                         "already.\n";
// A variable of --list: its name, kind, size in bytes and BYTES checksum.
inline constexpr char listed_line[] = "%s: %s, %s bytes, # %04Xh\n";
inline constexpr char no_such_variable[] = "The calculator holds no variable named %s.";
// XModem carries no name: XRECV was given one on the calculator.
inline constexpr char sent_by_xmodem[] = "Sent %zu bytes by XModem: the calculator stores the string under the name "
                                         "XRECV was given.\n";
inline constexpr char received_line[] = "Received %s, %zu bytes.\n";
inline constexpr char received_unnamed[] = "Received %zu bytes by XModem, which carries no name.\n";
// The name the calculator sent, then the one the string is saved under.
inline constexpr char saved_as_plain[] = "The name <%s> is no plain file name: the string is saved as <%s>.\n";
inline constexpr char saved_beside[] = "<%s> is there already: the string is saved as <%s>.\n";
inline constexpr char checked_line[] = "Checked: the calculator holds %s, a string, # %04Xh, as sent.\n";
inline constexpr char not_checked[] = "The transfer could not be checked: only the calculator's servers tell "
                                      "what it holds.\n";
inline constexpr char check_absent[] = "The calculator holds nothing named %s after the transfer.";
inline constexpr char check_differs[] = "The calculator holds %s as %s, # %04Xh, not the string sent, # %04Xh.";
inline constexpr char no_answer[] = "The calculator did not answer: is it waiting in %s, at %u baud?";
inline constexpr char not_finished[] = "The calculator's server did not end: it is still waiting.";
inline constexpr char calculator_said[] = "The calculator said: %s";
inline constexpr char line_failing[] = "The line to <%s> kept failing: check the cable and the speed.";
inline constexpr char calculator_cancelled[] = "The calculator cancelled the transfer.";
inline constexpr char sent_too_much[] = "The calculator sent more than a string can hold.";
inline constexpr char not_taken[] = "The transfer stopped: %s.";
inline constexpr char line_cut[] = "The line to <%s> was cut.";
inline constexpr char transfer_stopped[] = "The transfer was stopped; the calculator was told.";
inline constexpr char unstorable_name[] = "The calculator cannot store a variable named <%s>.";
inline constexpr char bad_baud[] = "The speed %u is none the line takes: 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200 baud.";
inline constexpr char sent_nothing[] = "The calculator sent nothing for %s.";
// The option that names the port, given an empty name; followed by the
// hint naming --help.
inline constexpr char names_no_port[] = "Option <%s> names no port.";
// "-" for a standard stream that was closed when the run began.
inline constexpr char closed_output[] = "Output file <-> is standard output, which is closed.";
inline constexpr char closed_input[] = "File <-> is standard input, which is closed.";
// Finding the port when none is named: the transcript's refusals; the
// ports follow on standard error, one a line as --ports lists them.
inline constexpr char no_port_found[] = "No calculator was found: is it connected, and on?";
inline constexpr char several_ports[] = "Several ports may be the calculator's: name one.";
// A port as --ports lists it: its name, then what it is.
inline constexpr char listed_port[] = "%s  %s";
inline constexpr char ports_there[] = "the serial ports there are:";
inline constexpr char no_ports_there[] = "no serial port is there: is the cable plugged in, and the calculator on?";
// The program, the option and a port: the command line with the port named.
inline constexpr char name_the_port[] = "name the port, as in: %s %s %s ...";
// The next step after a port that would not open, on standard error.
inline constexpr char port_denied_group[] = "%s belongs to the group %s: join it (sudo usermod -aG %s $USER), then "
                                            "log in again; or install korrin's udev rule, 70-hp-calculator.rules, "
                                            "which gives a USB 49g+/50g to whoever is logged in.";
inline constexpr char port_denied[] = "you may not open %s; korrin's udev rule, 70-hp-calculator.rules, gives a "
                                      "USB 49g+/50g to whoever is logged in.";
inline constexpr char port_missing[] = "%s is not there.";
inline constexpr char port_held_by[] = "%s is in use by another program: %s.";
inline constexpr char port_held[] = "%s is in use by another program: end it, then try again.";
inline constexpr char speed_refused[] = "%s does not take %u baud; it takes %s.";
inline constexpr char no_speed_taken[] = "%s takes none of the speeds from 1200 to 115200 baud.";
inline constexpr char not_a_port[] = "%s is no serial port.";

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
