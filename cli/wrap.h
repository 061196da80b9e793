#ifndef KORRIN_CLI_WRAP_H
#define KORRIN_CLI_WRAP_H

#include "arguments.h"

#include <filesystem>

namespace korrin {

// Writes `output` as a string object holding the bytes of `input`, or the
// characters its text becomes in the form the arguments give, reporting
// each step on standard output.  With no output the object goes beside the
// input, named after it with the extension .hp; an output that is a folder
// receives it under that name; "-" is standard input or output.  Returns
// the exit status: 0 when the whole object was written and closed; 1 after
// printing why not, with nothing of a broken object left behind.
// When the arguments send, the object is queued instead, to go with the
// others in one transfer by send_queued.
int wrap(const std::filesystem::path& input, const std::filesystem::path* output, const Arguments& arguments);

// Sends every object wrap queued, in one transfer; returns the exit status.
int send_queued(const Arguments& arguments);

}  // namespace korrin

#endif  // KORRIN_CLI_WRAP_H
