#include "input.h"

#include "output.h"

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace korrin {

bool is_standard_stream(const std::filesystem::path& file)
{
    return file.native().size() == 1 && file.native()[0] == '-';
}

std::FILE* open_input(const std::filesystem::path& file, std::uintmax_t& size, std::error_code& error)
{
    if (is_standard_stream(file)) {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        size = 0;
        return stdin;
    }
#ifdef _WIN32
    // A narrow name would pass through the ANSI code page and lose what it
    // cannot hold; the wide name reaches the file system as it is.
    std::FILE* in = _wfopen(file.c_str(), L"rb");
    if (!in) {
        error = stream_error();
        return nullptr;
    }
    struct _stat64 status;
    if (_fstat64(_fileno(in), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(in);
        return nullptr;
    }
#else
    // Without O_NONBLOCK, opening a FIFO would wait for a writer.
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = stream_error();
        return nullptr;
    }
    struct stat status = {};
    std::FILE* in = nullptr;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
        in = fdopen(fd, "rb");
    else if (S_ISDIR(status.st_mode))
        error = std::make_error_code(std::errc::is_a_directory);
    if (!in) {
        close(fd);
        return nullptr;
    }
#endif
    size = static_cast<std::uintmax_t>(status.st_size);
    return in;
}

std::intmax_t current_size(std::FILE* in)
{
#ifdef _WIN32
    struct _stat64 status;
    return _fstat64(_fileno(in), &status) == 0 ? status.st_size : -1;
#else
    struct stat status;
    return fstat(fileno(in), &status) == 0 ? status.st_size : -1;
#endif
}

void close_input(std::FILE* in)
{
    if (!in || in == stdin)
        return;
    static_cast<void>(std::fclose(in));
}

bool read_whole(std::FILE* in, std::uintmax_t size, std::uintmax_t most, std::string& bytes)
{
    // Read straight into the string.  A file's room is its size and a byte
    // more, to find that it ends there; standard input's grows as it comes.
    constexpr std::size_t least = 1 << 16;
    bytes.resize(std::max(static_cast<std::size_t>(std::min(size, most)) + 1, least));
    std::size_t held = 0;
    for (std::size_t got = 1; got != 0 && held <= most; held += got) {
        if (held == bytes.size())
            bytes.resize(2 * held);
        got = std::fread(&bytes[held], 1, bytes.size() - held, in);
    }
    bytes.resize(held);
    return !std::ferror(in);
}

}  // namespace korrin
