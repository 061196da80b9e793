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
