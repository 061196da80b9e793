#ifndef KORRIN_CLI_UNWRAP_H
#define KORRIN_CLI_UNWRAP_H

#include "arguments.h"

#include <filesystem>

namespace korrin {

// Checks that `object` holds one character string and writes its bytes to
// `output`, in `form`, or only checks it when `output` is null, reporting
// the header, the number of characters and the calculator's BYTES figures.
// Returns the exit status: 0 when the string was written whole; 1 after
// printing why not, with nothing of a broken file left behind.
int unwrap(const std::filesystem::path& object, const std::filesystem::path* output, file_form form);

}  // namespace korrin

#endif  // KORRIN_CLI_UNWRAP_H
