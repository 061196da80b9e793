// The programs' side of the serial line: what korrin --send and unkorrin
// --receive print and how they end.  The protocols are the line's.

#ifndef KORRIN_CLI_CABLE_H
#define KORRIN_CLI_CABLE_H

#include "arguments.h"
#include "transfer.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace korrin {

// A file to send: the name it is shown by, the stored_name the calculator
// stores it under, and its whole object file.
struct outgoing {
    std::string name;
    std::string stored;
    std::string object;
};

// Sends the files over the port the arguments name, with a progress line
// on a terminal and, to a server, the check of what it holds.  Returns the
// exit status.
int send_to_calculator(const Arguments& arguments, const std::vector<outgoing>& files);

// Receives the files of one transfer over the port the arguments name,
// into `files`, each with the name it came under in UTF-8 (or the name
// asked for with --get); the first `whole` of them came whole, even when
// the transfer then failed.  Returns the exit status.
int receive_from_calculator(const Arguments& arguments, std::vector<received_file>& files, std::size_t& whole);

// Prints the variables of the calculator's current directory, one a line,
// from whichever server it waits in on the port the arguments name.
// Returns the exit status.
int list_calculator(const Arguments& arguments);

}  // namespace korrin

#endif  // KORRIN_CLI_CABLE_H
