#include "platform.h"

#include "console.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#else
#include <fcntl.h>
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

// Each of 0, 1 and 2 that is closed is opened on the null device.  Opening
// takes the lowest free number, so going up from 0 fills each gap in turn.
void reopen_standard_descriptors()
{
#ifdef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        // -2 marks a standard descriptor that has no handle behind it.
        if (_get_osfhandle(fd) >= 0)
            continue;
        const int null = _open("NUL", _O_RDWR | _O_BINARY);
        if (null >= 0 && null != fd) {
            _dup2(null, fd);
            _close(null);
        }
    }
#else
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            static_cast<void>(open("/dev/null", O_RDWR));
#endif
}

}  // namespace

void prepare_run()
{
    reopen_standard_descriptors();
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    if (stdout_is_terminal())
        std::setvbuf(stdout, nullptr, _IONBF, 0);
}

bool explorer_start(unsigned long processes, bool output_is_console, std::string_view parent)
{
    constexpr std::string_view explorer = "explorer.exe";
    if (processes != 1 || !output_is_console || parent.size() != explorer.size())
        return false;
    for (std::size_t i = 0; i < parent.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(parent[i])) != explorer[i])
            return false;
    return true;
}

#ifdef _WIN32
namespace {

// The file name of the program that started this one, in ASCII ('?' for
// anything else), or empty.
std::string parent_name()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return {};
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == GetCurrentProcessId())
            parent = entry.th32ParentProcessID;
    std::string name;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && parent != 0; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == parent)
            for (const wchar_t* c = entry.szExeFile; *c != L'\0'; ++c)
                name += *c < 0x80 ? static_cast<char>(*c) : '?';
    CloseHandle(snapshot);
    return name;
}

}  // namespace
#endif

bool started_from_explorer()
{
#ifdef _WIN32
    DWORD processes[2];
    DWORD mode = 0;
    return explorer_start(GetConsoleProcessList(processes, 2),
                          GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0, parent_name());
#else
    return false;
#endif
}

void wait_for_enter()
{
    print(press_enter);
    std::fflush(stdout);
    int key;
    while ((key = std::getchar()) != EOF && key != '\n') {
    }
}

std::FILE* open_input(const std::filesystem::path& file, std::uintmax_t& size, std::error_code& error)
{
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

std::error_code stream_error()
{
    return {errno, std::generic_category()};
}

std::string reason(std::error_code cause)
{
#ifdef _WIN32
    // The system's message for its own error codes, in the console's code
    // page like every name; the C library's for errno values.
    if (cause.category() == std::system_category()) {
        wchar_t* text = nullptr;
        const DWORD size = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                              FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, static_cast<DWORD>(cause.value()), 0,
                                          reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::wstring words(text ? text : L"", size);
        LocalFree(text);
        // Windows ends its messages with a full stop and a line end.
        while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' ' ||
                                  words.back() == L'.'))
            words.pop_back();
        if (!words.empty())
            return display_name(words);
    }
#endif
    return cause.message();
}

void close_input(std::FILE* in)
{
    static_cast<void>(std::fclose(in));
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
