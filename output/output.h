// The output file, written so that nothing is lost.
//
// The object goes into a new file that the run makes for itself beside the
// output, named "<output>.<program>-XXXXXX" and created exclusively, so it
// can never be a file that was already there.  Only when that file is whole,
// closed and, over an existing output, on the disk does it take the
// output's place, in one rename:
// until then the output is exactly as it was, and afterwards it is the
// whole new object, with the old file's owner, group, permission bits and
// extended attributes (its ACL among them).  Two runs into one output each
// rename a whole object; the output ends as one of them.
//
// Some outputs are written in place instead, where a replacement would
// change more than the content or cannot be made: a device, a FIFO or a
// terminal; a file with more than one hard link; a file whose owner, group
// or attributes a new file cannot be given; a file in a folder that allows
// no new file, or no rename; a file mounted on its own, or held open by a
// program that forbids its replacement.  A regular file written in place is
// locked for the run, so that a second run waits, and is cut only once
// everything the writing needs is ready; when writing it fails, it is cut
// to zero length, so that no broken object is left looking whole.
//
// A failure, or a signal that ends the run (every signal that would end
// the process and can be caught; on Windows the console's Ctrl-C,
// Ctrl-Break and close events), removes the run's own new file and nothing
// else.

#ifndef KORRIN_OUTPUT_OUTPUT_H
#define KORRIN_OUTPUT_OUTPUT_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace korrin {

// Why an output is refused before anything of it is touched.
enum class refusal {
    none,
    unopenable,  // it cannot be opened or made; the system says why
    is_input,    // it is the input, under whatever name
    is_console,  // it is where the transcript goes
    exists,      // asked for a new file only, something stands under the name
};

// Sets up the cleanup of the output when a signal ends the run or memory
// runs out.  `program` names the new files, so a user who finds one after
// a power cut knows where it came from.
void guard_output(const char* program);

// Checks `output` against the input `in` and standard output, and opens it
// for writing in `out`.  Returns why not, with the system's `cause` where
// there is one, and no file created or changed; or refusal::none.  With
// `only_new`, whatever stands under the name (a file, a link, a folder, a
// device) is refused unopened, and the object takes the name at the end
// only while it is still free.
refusal open_output(const std::filesystem::path& output, std::FILE* in, std::FILE*& out, std::error_code& cause,
                    bool only_new = false);

// Flushes and closes `out`, checks that the file holds exactly `size`
// bytes, and puts the object in the output's place.  Returns why a write,
// the close or the replacement failed, with the old output left as it was
// (or, written in place, cut to zero length); or no error.  From the moment
// the object is in place, a signal no longer ends the run.
std::error_code finish_output(std::FILE* out, std::uintmax_t size);

// Writes a block of the object to `out`: one smaller than the stream's
// buffer into it, so that a small object reaches the file in one write; a
// larger one straight to the file after what the buffer holds, since it
// gains nothing from a copy through the buffer.  Returns why the write
// failed, or no error.
std::error_code write_block(std::FILE* out, const void* bytes, std::size_t size);

// Why the last call of the C library or of the system failed, from errno,
// or from `code`, errno as it was kept.
std::error_code stream_error(int code = errno);

// Gives up on `out` after a failed run: removes the new file, or cuts a
// regular file written in place to zero length.
void discard_output(std::FILE* out);

}  // namespace korrin

#endif  // KORRIN_OUTPUT_OUTPUT_H
