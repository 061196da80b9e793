#ifndef KORRIN_CLI_RUN_H
#define KORRIN_CLI_RUN_H

#include <filesystem>

namespace korrin {

// Writes `output` as a string object holding the bytes of `input`,
// reporting each step on standard output.  Returns the exit status: 0 when
// the whole object was written and closed; 1 after printing why not, with
// nothing of a broken object left behind.
int convert(const std::filesystem::path& input, const std::filesystem::path& output);

// Checks that `object` holds one character string and writes its bytes to
// `output`, or only checks it when `output` is null, reporting the header,
// the number of characters and the calculator's BYTES figures.  Returns the
// exit status, as convert does.
int unwrap(const std::filesystem::path& object, const std::filesystem::path* output);

}  // namespace korrin

#endif  // KORRIN_CLI_RUN_H
