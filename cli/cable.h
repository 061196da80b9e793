// The programs' side of the serial line: what korrin --send and unkorrin
// --receive print and how they end.  The protocols are the line's.

#ifndef KORRIN_CLI_CABLE_H
#define KORRIN_CLI_CABLE_H

#include "arguments.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace korrin {

// The name the calculator stores an object under when none is given: the
// input's file name without its last extension (notes.txt gives notes).
std::string calculator_name(const std::filesystem::path& input);

// `name`, given in UTF-8, in the calculator's own characters, if the
// calculator can store a variable under it: not empty, not starting with
// a digit, and holding no space nor any of # [ ] { } « » " ' : , ; ( ) /,
// which its command line reads as something else.  Empty when it cannot.
std::string stored_name(const std::string& name);

// Sends the whole object file `object` over the port the arguments name,
// under `stored`, the stored_name of the name the messages show as `name`
// (on Windows, in the console's code page), with a progress line on a
// terminal and, after a Kermit send to the calculator's server, the check
// of what it holds.  Returns the exit status.
int send_to_calculator(const Arguments& arguments, const std::string& name, const std::string& stored,
                       std::string_view object);

// Receives one object over the port the arguments name, into `object`,
// with the name it came under in `name`.  Returns the exit status.
int receive_from_calculator(const Arguments& arguments, std::string& name, std::string& object);

}  // namespace korrin

#endif  // KORRIN_CLI_CABLE_H
