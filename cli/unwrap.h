#ifndef KORRIN_CLI_UNWRAP_H
#define KORRIN_CLI_UNWRAP_H

#include "arguments.h"

#include <filesystem>

namespace korrin {

// Checks that `object` holds one character string and writes its bytes to
// `output`, in the form the arguments give, or only checks it when
// `output` is null, reporting the header, the number of characters and the
// calculator's BYTES figures.  An output that is a folder receives the
// string under the object's name without .hp; "-" is standard input or
// output, and the report then goes to standard error.  Returns the exit
// status: 0 when the string was written whole; 1 after printing why not,
// with nothing of a broken file left behind.
int unwrap(const std::filesystem::path& object, const std::filesystem::path* output, const Arguments& arguments);

}  // namespace korrin

#endif  // KORRIN_CLI_UNWRAP_H
