#ifndef KORRIN_CLI_WRAP_H
#define KORRIN_CLI_WRAP_H

#include "arguments.h"

#include <filesystem>

namespace korrin {

// Writes `output` as a string object holding the bytes of `input`, or the
// characters its text becomes in `form`, reporting each step on standard
// output.  Returns the exit status: 0 when the whole object was written and
// closed; 1 after printing why not, with nothing of a broken object left
// behind.
int convert(const std::filesystem::path& input, const std::filesystem::path& output, file_form form);

}  // namespace korrin

#endif  // KORRIN_CLI_WRAP_H
