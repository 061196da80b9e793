// Every text korrin and unkorrin print in their transcripts, but the
// banners and usage texts, which stand beside each program's main.  Users
// and scripts match these texts, so they never vary with the cause of a
// failure.  Each is a printf format that the compiler checks against its
// arguments where it is printed.

#ifndef KORRIN_CLI_MESSAGES_H
#define KORRIN_CLI_MESSAGES_H

namespace korrin {

// The first line end closes the line of dots; so does the one before a
// message that ends a run after the copy has begun.
inline constexpr char korrin_done[] = "\nDone.\n\n";
inline constexpr char end_of_dots[] = "\n";

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
inline constexpr char baud_number[] = "Option <--baud> takes a speed in baud, not <%s>: %s.";
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
inline constexpr char bad_baud[] = "The speed %u is none the line takes: %s baud.";
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
inline constexpr char no_speed_taken[] = "%s takes none of the speeds from %u to %u baud.";
inline constexpr char not_a_port[] = "%s is no serial port.";

}  // namespace korrin

#endif  // KORRIN_CLI_MESSAGES_H
