#include "platform.h"

#include <csignal>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
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

void prepare_run()
{
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
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

bool is_standard_output(const std::filesystem::path& file)
{
#ifdef _WIN32
    const HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    if (console == INVALID_HANDLE_VALUE || GetFileType(console) != FILE_TYPE_DISK)
        return false;
    // No access asked for: the file is only identified, never changed.
    const HANDLE named = CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION ours;
    BY_HANDLE_FILE_INFORMATION theirs;
    const bool same = GetFileInformationByHandle(console, &ours) && GetFileInformationByHandle(named, &theirs) &&
                      ours.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
                      ours.nFileIndexHigh == theirs.nFileIndexHigh && ours.nFileIndexLow == theirs.nFileIndexLow;
    CloseHandle(named);
    return same;
#else
    struct stat console;
    struct stat named;
    return fstat(STDOUT_FILENO, &console) == 0 && S_ISREG(console.st_mode) && stat(file.c_str(), &named) == 0 &&
           named.st_dev == console.st_dev && named.st_ino == console.st_ino;
#endif
}

std::string display_name(const std::filesystem::path& file)
{
#ifdef _WIN32
    const std::wstring& wide = file.native();
    if (wide.empty())
        return {};
    const UINT page = stdout_is_terminal() ? GetConsoleOutputCP() : GetACP();
    // UTF-8 holds every name, and takes neither a default character nor
    // the flag that keeps a lookalike from standing in for a missing one.
    const bool utf8 = page == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const char* const unknown = utf8 ? nullptr : "?";
    // A Windows command line holds at most 32767 characters, so any name
    // that came from it fits an int.
    const int wide_size = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(page, flags, wide.data(), wide_size, nullptr, 0, unknown, nullptr);
    std::string name(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(page, flags, wide.data(), wide_size, name.data(), size, unknown, nullptr);
    return name;
#else
    return file.native();
#endif
}

}  // namespace korrin
