// Reading the input: a file, opened so that no file swapped in can hang
// the run or pass as another kind, or standard input.

#ifndef KORRIN_CLI_INPUT_H
#define KORRIN_CLI_INPUT_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace korrin {

// Whether `file` names standard input or output: "-" alone.
bool is_standard_stream(const std::filesystem::path& file);

// Opens `file` for reading when it is a regular file, with its size in
// `size`; otherwise returns null, with the reason in `error` where the
// system gave one.  The kind and size are taken from the open handle, and
// the open cannot wait on a FIFO, so no file swapped in between a check and
// the open can hang the run or pass as another kind.  "-" is standard
// input, whose size is known only once it has been read.
std::FILE* open_input(const std::filesystem::path& file, std::uintmax_t& size, std::error_code& error);

// Reads the whole of `in`, a file of `size` bytes as it was opened (0 for
// standard input, whose size is not known), into `bytes`, up to `most`
// bytes; a stream that holds more is read no further.  Returns false when
// a read failed.
bool read_whole(std::FILE* in, std::uintmax_t size, std::uintmax_t most, std::string& bytes);

// The size of the open file `in` now, to tell whether it changed during
// the run; or -1.
std::intmax_t current_size(std::FILE* in);

// Closes a file that was only read: its close has nothing to lose.
void close_input(std::FILE* in);

}  // namespace korrin

#endif  // KORRIN_CLI_INPUT_H
