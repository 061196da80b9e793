#include "start.h"

#include "cable.h"
#include "console.h"
#include "input.h"
#include "output.h"
#include "port.h"
#include "port_choice.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace korrin {

namespace fs = std::filesystem;

namespace {

// Whether standard input and output were closed when the run began: they
// read and write the null device now, so "-" is refused for them.
bool closed_at_start[2] = {};

// Each of 0, 1 and 2 that is closed is opened on the null device.  Opening
// takes the lowest free number, so going up from 0 fills each gap in turn.
void reopen_standard_descriptors()
{
#ifdef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        // -2 marks a standard descriptor that has no handle behind it.
        if (_get_osfhandle(fd) >= 0)
            continue;
        if (fd < 2)
            closed_at_start[fd] = true;
        const int null = _open("NUL", _O_RDWR | _O_BINARY);
        if (null >= 0 && null != fd) {
            _dup2(null, fd);
            _close(null);
        }
    }
#else
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        if (fd < STDERR_FILENO)
            closed_at_start[fd] = true;
        static_cast<void>(open("/dev/null", O_RDWR));
    }
#endif
}

#ifdef _WIN32
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

// Asks for Enter, and waits for it or for the end of standard input.
void wait_for_enter()
{
    print(press_enter);
    std::fflush(stdout);
    int key;
    while ((key = std::getchar()) != EOF && key != '\n') {
    }
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// What -h and --help print: the program's forms, then its options from the
// table of options.
std::string usage_text(const Program& program)
{
    return std::string(program.usage) + "\nOptions:\n" + options_help(program.kind, false) + "\n" +
           program.line_usage + options_help(program.kind, true) + "\nThe whole manual: man " + program.name +
           ", or README.txt beside " + program.name + ".exe.\n";
}

// Each file is taken by the one-name rule, one transcript after the other,
// and the window stays until it has been read.
int run_dropped(const Program& program, Work work, Arguments arguments)
{
    int status = 0;
    arguments.dropped = true;
    if (arguments.files.empty()) {
        print(program.banner);
        print(usage_text(program).c_str());
        print(program.drop);
    }
    for (const fs::path& file : arguments.files) {
        print(program.banner);
        if (work(file, nullptr, arguments) != 0)
            status = 1;
    }
    wait_for_enter();
    return status;
}

// Where to read how the program is used, after a failure of its command
// line.
int try_help(const Program& program)
{
    note("Try '%s --help' for more information.", program.name);
    return 1;
}

// A failure of the command line, and where to read how it is used.
int misused(const Program& program, const char* message, const std::string& word = {}, const std::string& other = {})
{
    refuse(message, word.c_str(), other.c_str());
    return try_help(program);
}

}  // namespace

void prepare_start(const char* program)
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
    guard_output(program);
}

bool explorer_start(unsigned long processes, bool output_is_console, std::string_view parent)
{
    return processes == 1 && output_is_console && equal_ignoring_case(parent, "explorer.exe");
}

bool starts_as_text(std::string_view started_as)
{
    const std::size_t slash = started_as.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? started_as : started_as.substr(slash + 1);
    if (name.size() > 4 && equal_ignoring_case(name.substr(name.size() - 4), ".exe"))
        name.remove_suffix(4);
    return equal_ignoring_case(name, "korrin-text");
}

namespace {

// Refuses what the command line gets wrong: an unknown option, an option
// of the other program's, a port named empty, an option of the line with
// no port.  Returns the exit status of the refusal, or -1 to go on.
int refuse_options(const Program& program, const Arguments& arguments)
{
    // An unknown option is refused wherever it stands, --help beside it too:
    // a typing slip must not pass unseen.
    if (!arguments.unknown.empty()) {
        print(program.banner);
        const std::string word = display_name(arguments.unknown);
        return misused(program, arguments.unknown_is_speed ? baud_number : unknown_option, word,
                       arguments.unknown_is_speed ? speeds_text() : std::string());
    }
    // The line's options need the port, named or to be found.
    if (arguments.act != line_act::none && arguments.port.empty() && !arguments.find_port) {
        print(program.banner);
        return misused(program, names_no_port, option_of(arguments.act));
    }
    if (!arguments.line_options.empty() && arguments.act == line_act::none) {
        print(program.banner);
        return misused(program, works_only_with, arguments.line_options[0], program.port_option);
    }
    return -1;
}

// Runs the work on the files named, as the options say: all of them sent,
// each into a folder, one received or listed, or one into another.
int run_files(const Program& program, Work work, Arguments& arguments)
{
    const bool receiving = receives(arguments);
    const bool sending = sends(arguments);
    if (receiving && arguments.files.size() > 1)
        return misused(program, too_many_arguments);
    // "-" for a standard stream that was closed at the start is refused:
    // the null device in its place would lose the product, or give an
    // empty input.  Received, the one name is the output's; else the
    // second is.
    for (std::size_t i = 0; i < arguments.files.size(); ++i) {
        const bool output = receiving || (i == 1 && arguments.files.size() == 2 && !sending);
        if (is_standard_stream(arguments.files[i]) && closed_at_start[output ? 1 : 0])
            return refuse(output ? closed_output : closed_input);
    }
    // A port to be found is found before anything is written; to send
    // to, once the files to send have been read.
    if (arguments.find_port && !sending)
        if (const int status = choose_port(program.name, arguments))
            return status;
    // Sent, every name is a file to send, all in one transfer.
    if (sending) {
        if (arguments.files.empty())
            return misused(program, missing_arguments);
        if (!arguments.name.empty() && arguments.files.size() > 1)
            return misused(program, one_file_only, "--name");
        for (const fs::path& file : arguments.files)
            if (const int status = work(file, nullptr, arguments))
                return status;
        if (arguments.find_port)
            if (const int status = choose_port(program.name, arguments))
                return status;
        return program.send_queued(arguments);
    }
    // Several names: each file into the last, a folder, as cp puts them;
    // or, when the last is none, each by the one-name rule.  The first
    // failure ends the run, the files done before it whole.
    if (!receiving && arguments.files.size() > 2) {
        std::error_code unused;
        const fs::path& last = arguments.files.back();
        const bool into_folder = fs::is_directory(last, unused);
        for (std::size_t i = 0; i + (into_folder ? 1 : 0) < arguments.files.size(); ++i)
            if (const int status = work(arguments.files[i], into_folder ? &last : nullptr, arguments))
                return status;
        return 0;
    }
    if (arguments.act == line_act::list)
        return arguments.files.empty() ? list_calculator(arguments) : misused(program, too_many_arguments);
    if (receiving)
        return work({}, arguments.files.empty() ? nullptr : &arguments.files[0], arguments);
    if (arguments.files.empty())
        return misused(program, missing_arguments);
    if (arguments.replace && arguments.form != file_form::text)
        return misused(program, works_only_with, "--replace", "--text");
    return work(arguments.files[0], arguments.files.size() == 2 ? &arguments.files[1] : nullptr, arguments);
}

}  // namespace

int start_with(const Program& program, Work work, const fs::path& started_as, const std::vector<fs::path>& words)
{
    Arguments arguments = read_arguments(words, program.kind);
    if (arguments.form == file_form::bytes && starts_as_text(started_as.string()))
        arguments.form = file_form::text;
    set_console(program.name, arguments.quiet);
    if (const int status = refuse_options(program, arguments); status >= 0)
        return status;
    if (arguments.help)
        return print_product(usage_text(program));
    if (arguments.version)
        return print_product(std::string(program.name) + " " KORRIN_RELEASE "\n" +
                             "Copyright (c) 2026 korrin developers; published under the MIT licence.\n");
    if (arguments.ports)
        return list_ports();
    if (started_from_explorer())
        return run_dropped(program, work, arguments);
    // Received over the line, the object has no file; a name, if any, is
    // the output's.
    if (program.product_beside_report && !arguments.files.empty() && is_standard_stream(arguments.files.back()) &&
        (arguments.files.size() == 2 || receives(arguments)))
        report_on_standard_error();
    print(program.banner);
    return run_files(program, work, arguments);
}

int unexpected_end(const char* what)
{
    discard_output(nullptr);
    return refuse(run_failed, what);
}

}  // namespace korrin
