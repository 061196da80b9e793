// The command line both programs share:
//   <program> [option...] first_file [second_file]
// Options may stand anywhere before "--", as GNU tools take them, and short
// ones may be combined ("-tq"); every word after "--" is a file name.  "-"
// alone is a file name: standard input or output.

#ifndef KORRIN_CLI_ARGUMENTS_H
#define KORRIN_CLI_ARGUMENTS_H

#include "port.h"

#include <filesystem>
#include <string>
#include <vector>

namespace korrin {

// How the bytes of a string stand in a file on the computer's side.
enum class file_form {
    bytes,  // exactly as they are
    text,   // UTF-8 text, in the calculator's own characters
    ascii,  // the calculator's ASCII transfer form, as its translated transfers write it
};

// The two programs, as the options name them.
enum class program_kind : unsigned { korrin = 1, unkorrin = 2 };

// Every option of both programs: its long name, its letter (or none), what
// the word after it stands for (in brackets when it may be left out), the
// field of Arguments it sets, which programs take it, whether it is one of
// the serial line's (which the port's option must come with) and whether
// it names the port, and what it does, as the help says it.  The parser
// reads it, and the help is made from it, which the bash completion reads
// in turn.
enum class option_field {
    help, version, quiet, text, ascii, replace, ports,
    send, receive, list, name, get, baud, xmodem, kermit, finish,
};
struct option_row {
    const char* name;
    char letter;
    const char* value;
    option_field field;
    unsigned programs;   // program_kind bits
    bool needs_port;
    bool port;
    const char* help;            // korrin's, and unkorrin's where that is null
    const char* unkorrin_help;
};
inline constexpr unsigned both_programs = 3;
inline constexpr unsigned korrin_alone = 1;
inline constexpr unsigned unkorrin_alone = 2;
inline constexpr option_row option_table[] = {
    {"--text", 't', nullptr, option_field::text, both_programs, false, false,
     "read the input as UTF-8 text and write the calculator's\n"
     "own characters; CR LF becomes LF",
     "write the string as UTF-8 text"},
    {"--replace", 'r', nullptr, option_field::replace, korrin_alone, false, false,
     "with --text, write a look-alike for each character the\n"
     "calculator lacks (\"?\" where there is none)", nullptr},
    {"--ascii", 'a', nullptr, option_field::ascii, both_programs, false, false,
     "read the input in the calculator's ASCII transfer form,\n"
     "as its translated transfers write it (\\<< for the\n"
     "program delimiter, \\nnn for any character above 127)",
     "write the string in the calculator's ASCII transfer form"},
    {"--quiet", 'q', nullptr, option_field::quiet, both_programs, false, false,
     "print nothing but a failure, on standard error", nullptr},
    {"--help", 'h', nullptr, option_field::help, both_programs, false, false, "print this help", nullptr},
    {"--version", 'V', nullptr, option_field::version, both_programs, false, false, "print the release", nullptr},
    {"--send", 0, "[PORT]", option_field::send, korrin_alone, true, true,
     "send every file named over the serial port PORT\n"
     "(/dev/ttyUSB0, COM3), or over the calculator's, found;\n"
     "write no file", nullptr},
    {"--receive", 0, "[PORT]", option_field::receive, unkorrin_alone, true, true, nullptr,
     "receive what SEND or XSEND sends over the serial port\n"
     "PORT, or the calculator's, found; a file name given\n"
     "is the output_file"},
    {"--list", 0, "[PORT]", option_field::list, unkorrin_alone, true, true, nullptr,
     "list the variables the calculator's server holds"},
    {"--name", 0, "NAME", option_field::name, korrin_alone, true, false,
     "store it under NAME (default: input_file's name without\n"
     "its extension)", nullptr},
    {"--get", 0, "NAME", option_field::get, unkorrin_alone, true, false, nullptr,
     "ask the calculator's Kermit or XModem server for the\n"
     "variable NAME"},
    {"--kermit", 0, nullptr, option_field::kermit, both_programs, true, false,
     "send by Kermit only, to the server or RECV", "ask the Kermit server only"},
    {"--xmodem", 0, nullptr, option_field::xmodem, both_programs, true, false,
     "send by XModem only, to XRECV or XSERV", "receive by XModem, from XSEND or XSERV"},
    {"--baud", 0, "N", option_field::baud, both_programs, true, false,
     "the line's speed in baud (default 9600), one of", nullptr},
    {"--finish", 0, nullptr, option_field::finish, korrin_alone, true, false,
     "end the calculator's server after the send", nullptr},
    {"--ports", 0, nullptr, option_field::ports, both_programs, false, false,
     "list the serial ports there are, the calculator's first", nullptr},
};

// The lines of the help that tell the options `program` takes: those of
// the serial line when `line`, the others otherwise.
std::string options_help(program_kind program, bool line);

// What a run does over the serial line, by the option that names the port.
enum class line_act { none, send, receive, list };

struct Arguments {
    bool help = false;
    bool version = false;
    bool quiet = false;
    bool replace = false;  // a look-alike for each character the calculator lacks
    file_form form = file_form::bytes;
    // The serial line to the calculator: what the run does over it, the
    // port, and how.  The port is to be found when the word after the
    // option names none (names_a_port in ports.h); one named empty is
    // refused.
    line_act act = line_act::none;
    std::string port;
    bool find_port = false;
    std::string name;     // what the calculator stores the object under
    std::string get;      // the variable to ask the calculator's server for
    bool ports = false;   // --ports: list the serial ports there are
    unsigned baud = calculator_baud;
    bool xmodem = false;
    bool kermit = false;
    bool finish = false;  // end the calculator's server afterwards
    bool dropped = false; // the files were dropped onto the program in Explorer
    std::vector<std::string> line_options;  // each of the line's options given, as written
    std::vector<std::filesystem::path> files;
    // The first word that looks like an option and is none, or an option
    // whose value is missing or wrong; empty when there is none.
    std::filesystem::path unknown;
    bool unknown_is_speed = false;  // it is the word after --baud, which is no speed
};

// Whether the run sends to the calculator, or receives from it (a listing
// among that).
inline bool sends(const Arguments& arguments) { return arguments.act == line_act::send; }
inline bool receives(const Arguments& arguments)
{
    return arguments.act == line_act::receive || arguments.act == line_act::list;
}

// The option that asked for `act`: "--send", "--receive" or "--list".
const char* option_of(line_act act);

// Reads the words after the name of `program`; an option it does not take
// is unknown.  Of --text and --ascii, the last one given holds.
Arguments read_arguments(const std::vector<std::filesystem::path>& words, program_kind program);

}  // namespace korrin

#endif  // KORRIN_CLI_ARGUMENTS_H
