#include "platform.h"

#include <csignal>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace korrin {

namespace {

bool stdout_is_terminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

}  // namespace

void prepare_console()
{
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (stdout_is_terminal())
        std::setvbuf(stdout, nullptr, _IONBF, 0);
}

std::FILE* open_file(const std::filesystem::path& file, const char* mode)
{
#ifdef _WIN32
    // A narrow name would pass through the ANSI code page and lose what it
    // cannot hold; the wide name reaches the file system as it is.
    std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(file.c_str(), wide_mode.c_str());
#else
    return std::fopen(file.c_str(), mode);
#endif
}

std::string display_name(const std::filesystem::path& file)
{
#ifdef _WIN32
    const std::wstring& wide = file.native();
    if (wide.empty())
        return {};
    // A Windows command line holds at most 32767 characters, so any name
    // that came from it fits an int.
    const int wide_size = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), wide_size, nullptr, 0, "?", nullptr);
    std::string name(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), wide_size, name.data(), size, "?", nullptr);
    return name;
#else
    return file.native();
#endif
}

}  // namespace korrin
