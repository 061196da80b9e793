// What differs between POSIX systems and Windows, kept to this header and
// platform.cpp so the run sequence reads the same on both.

#ifndef KORRIN_CLI_PLATFORM_H
#define KORRIN_CLI_PLATFORM_H

#include <cstdio>
#include <filesystem>
#include <string>

namespace korrin {

// Sets up the process before anything is printed.  On a terminal every
// print goes out as it ends, so each dot shows as its byte is copied;
// redirected, output is fully buffered.  A reader that goes away (a closed
// pipe) makes later prints fail instead of ending the process: the console
// is a report, and the object file decides how a run ends.  Likewise a file
// size limit makes the write that passes it fail, to be reported, instead
// of ending the process with a partial object behind it.
void prepare_run();

// Opens `file` with an fopen mode ("rb", "wb"), by its name as the system
// holds it, so a Windows name outside the ANSI code page opens too.
std::FILE* open_file(const std::filesystem::path& file, const char* mode);

// Whether `file` is where standard output already goes, a regular file:
// the report would then be written into the object.
bool is_standard_output(const std::filesystem::path& file);

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
