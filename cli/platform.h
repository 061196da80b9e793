// What differs between POSIX systems and Windows, kept to this header and
// platform.cpp so the run sequence reads the same on both.

#ifndef KORRIN_CLI_PLATFORM_H
#define KORRIN_CLI_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace korrin {

// Sets up the process before anything is printed or opened.  A standard
// descriptor that the caller left closed is opened on the null device, so
// that no file of the run can take its number and receive the report.  On
// a terminal every print goes out as it ends, so each dot shows as its byte
// is copied; redirected, output is fully buffered.  A reader that goes away
// (a closed pipe) makes later prints fail instead of ending the process:
// the console is a report, and the object file decides how a run ends.
// Likewise a file size limit makes the write that passes it fail, to be
// reported, instead of ending the process with a partial object.
void prepare_run();

// Whether the program was started from Explorer (double-clicked, or files
// dropped onto it) rather than from a console: it is then the only process
// on a console of its own, and the window closes when it ends.  Never on
// other systems.
bool started_from_explorer();

// The decision itself, from the number of `processes` on the program's
// console, whether standard output is that console, and the file name of
// the program that started it.  A program started from a command prompt
// shares the console with it; one whose output is redirected is watched by
// no window; and one started from a Unix shell under wine is alone on a
// console too, but was not started by Explorer.
bool explorer_start(unsigned long processes, bool output_is_console, std::string_view parent);

// Asks for Enter, and waits for it or for the end of standard input.
void wait_for_enter();

// Opens `file` for reading when it is a regular file, with its size in
// `size`; otherwise returns null, with the reason in `error` where the
// system gave one.  The kind and size are taken from the open handle, and
// the open cannot wait on a FIFO, so no file swapped in between a check and
// the open can hang the run or pass as another kind.
std::FILE* open_input(const std::filesystem::path& file, std::uintmax_t& size, std::error_code& error);

// The size of the open file `in` now, to tell whether it changed during
// the run; or -1.
std::intmax_t current_size(std::FILE* in);

// Why the last call of the C library's streams failed.
std::error_code stream_error();

// The system's own words for `cause`, as a user reads them.
std::string reason(std::error_code cause);

// Closes a file that was only read: its close has nothing to lose.
void close_input(std::FILE* in);

// `file` as it is printed in a message: its bytes as given on POSIX.  On
// Windows it is converted to the console's code page, or to the ANSI code
// page when output is redirected, with '?' for what the page lacks.
std::string display_name(const std::filesystem::path& file);

// One byte through a stream's buffer, without the per-call lock of getc and
// putc: the run has a single thread, and the copy makes one call per byte.
inline int read_byte(std::FILE* stream)
{
#ifdef _WIN32
    return _getc_nolock(stream);
#else
    return getc_unlocked(stream);
#endif
}

inline int write_byte(int byte, std::FILE* stream)
{
#ifdef _WIN32
    return _putc_nolock(byte, stream);
#else
    return putc_unlocked(byte, stream);
#endif
}

}  // namespace korrin

#endif  // KORRIN_CLI_PLATFORM_H
