#ifndef KORRIN_CLI_RUN_H
#define KORRIN_CLI_RUN_H

#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <string>

namespace korrin {

// Writes `output` as a string object holding the bytes of `input`,
// reporting each step on standard output.  Returns the exit status: 0 when
// the whole object was written and closed; 1 after printing why not, with
// nothing of a broken object left behind.
int convert(const std::filesystem::path& input, const std::filesystem::path& output);

// Copies exactly `size` bytes from `in` to `out`, printing a dot for each,
// and checks that the input ends there.  Returns 0, or 1 after closing the
// line of dots and printing which file failed; the names are for that.
int copy_body(std::FILE* in, std::FILE* out, std::uintmax_t size,
              const std::string& in_name, const std::string& out_name);

}  // namespace korrin

#endif  // KORRIN_CLI_RUN_H
