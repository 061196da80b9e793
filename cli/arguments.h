// The command line both programs share:
//   <program> [option...] first_file [second_file]
// Options may stand anywhere before "--", as GNU tools take them, and short
// ones may be combined ("-tq"); every word after "--" is a file name.  "-"
// alone is a file name: standard input or output.

#ifndef KORRIN_CLI_ARGUMENTS_H
#define KORRIN_CLI_ARGUMENTS_H

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

// Every option of both programs: its long name, its letter (or none), the
// field of Arguments it sets, which programs take it, whether it is one of
// the serial line's (which the port's option must come with) and whether
// it names the port.  The parser reads it.
enum class option_field {
    help, version, quiet, text, ascii, replace, ports,
    send, receive, list, name, get, baud, xmodem, kermit, finish,
};
struct option_row {
    const char* name;
    char letter;
    option_field field;
    unsigned programs;   // program_kind bits
    bool needs_port;
    bool port;
};
inline constexpr unsigned both_programs = 3;
inline constexpr unsigned korrin_alone = 1;
inline constexpr unsigned unkorrin_alone = 2;
inline constexpr option_row option_table[] = {
    {"--help", 'h', option_field::help, both_programs, false, false},
    {"--version", 'V', option_field::version, both_programs, false, false},
    {"--quiet", 'q', option_field::quiet, both_programs, false, false},
    {"--text", 't', option_field::text, both_programs, false, false},
    {"--ascii", 'a', option_field::ascii, both_programs, false, false},
    {"--replace", 'r', option_field::replace, both_programs, false, false},
    {"--ports", 0, option_field::ports, both_programs, false, false},
    {"--send", 0, option_field::send, korrin_alone, true, true},
    {"--receive", 0, option_field::receive, unkorrin_alone, true, true},
    {"--list", 0, option_field::list, unkorrin_alone, true, true},
    {"--name", 0, option_field::name, korrin_alone, true, false},
    {"--get", 0, option_field::get, unkorrin_alone, true, false},
    {"--baud", 0, option_field::baud, both_programs, true, false},
    {"--xmodem", 0, option_field::xmodem, both_programs, true, false},
    {"--kermit", 0, option_field::kermit, both_programs, true, false},
    {"--finish", 0, option_field::finish, korrin_alone, true, false},
};

// Whether `program` takes the option named `option`.
bool takes_option(const std::string& option, program_kind program);

struct Arguments {
    bool help = false;
    bool version = false;
    bool quiet = false;
    bool replace = false;  // a look-alike for each character the calculator lacks
    file_form form = file_form::bytes;
    // The serial line to the calculator: the port to send the object over
    // (korrin) or receive one from (unkorrin), and how.
    std::string send;
    std::string receive;
    std::string name;     // what the calculator stores the object under
    std::string get;      // the variable to ask the calculator's server for
    std::string list;     // the port to list the calculator's variables over
    // The option of the three that was given without a port, the word
    // after it naming none (names_a_port in ports.h): the port is to be
    // found.  "" when a port was named.
    std::string find_port_for;
    bool ports = false;   // --ports: list the serial ports there are
    unsigned baud = 9600;
    bool xmodem = false;
    bool kermit = false;
    bool finish = false;  // end the calculator's server afterwards
    bool dropped = false; // the files were dropped onto the program in Explorer
    std::vector<std::string> line_options;  // each of the line's options given, as written
    std::vector<std::filesystem::path> files;
    // The first word that looks like an option and is none, or an option
    // whose value is missing or wrong; empty when there is none.
    std::filesystem::path unknown;
};

// Whether the run sends to the calculator, or receives from it (a listing
// among that), on a port named or to be found.
inline bool sends(const Arguments& arguments) { return !arguments.send.empty() || arguments.find_port_for == "--send"; }
inline bool receives(const Arguments& arguments)
{
    return !arguments.receive.empty() || arguments.find_port_for == "--receive" || arguments.find_port_for == "--list";
}

// Reads the words after the program's name.  Of --text and --ascii, the
// last one given holds.
Arguments read_arguments(const std::vector<std::filesystem::path>& words);

}  // namespace korrin

#endif  // KORRIN_CLI_ARGUMENTS_H
