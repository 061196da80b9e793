#include "console.h"

#include "names.h"

#include <algorithm>
#include <cstdarg>
#include <iterator>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace korrin {

namespace {

const char* program_name = "";
bool quiet = false;
// Where the transcript goes: standard output, unless that carries the
// product.
std::FILE* transcript = stdout;

std::string formatted(const char* format, std::va_list args)
{
    std::va_list measure;
    va_copy(measure, args);
    const int size = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

// Whether the run has said a failure: a quiet run says nothing else, but
// the notes that tell how to mend it.
bool failed = false;

// The one place that decorates a message: for the transcript, or for a
// quiet run's standard error.
void say(severity kind, const std::string& message)
{
    failed = failed || kind == severity::error;
    if (quiet && kind != severity::error)
        return;
    if (quiet)
        std::fprintf(stderr, "%s: %s\n", program_name, message.c_str());
    else
        std::fprintf(transcript, "  *** %s: %s\n\n", kind == severity::error ? "Error" : "Warning", message.c_str());
}

}  // namespace

bool stdout_is_terminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

// Console writes are not checked: the console only reports, and a reader
// that went away must not change how the conversion ends.

void set_console(const char* program, bool silent)
{
    program_name = program;
    quiet = silent;
}

bool quiet_run()
{
    return quiet;
}

void report_on_standard_error()
{
    transcript = stderr;
}

void report(const char* format, ...)
{
    if (quiet)
        return;
    std::va_list args;
    va_start(args, format);
    std::vfprintf(transcript, format, args);
    va_end(args);
}

void print(const char* text)
{
    if (!quiet)
        std::fputs(text, transcript);
}

void print_dots(std::uintmax_t count)
{
    // As many as the body's blocks hold, so a block's dots take one write.
    static char dots[1 << 16];
    if (quiet || count == 0)
        return;
    if (dots[0] != '.')
        std::fill(std::begin(dots), std::end(dots), '.');
    for (std::uintmax_t left = count; left != 0;) {
        const std::size_t some = left < sizeof dots ? static_cast<std::size_t>(left) : sizeof dots;
        std::fwrite(dots, 1, some, transcript);
        left -= some;
    }
}

int fail(std::error_code cause, const std::string& file, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    say(severity::error, formatted(format, args));
    va_end(args);
    if (cause) {
        std::fflush(transcript);
        std::fprintf(stderr, "%s: %s: %s\n", program_name, file.c_str(), reason(cause).c_str());
    }
    return 1;
}

std::string format_text(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    return text;
}

int refuse(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    say(severity::error, formatted(format, args));
    va_end(args);
    return 1;
}

void warn(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    say(severity::warning, formatted(format, args));
    va_end(args);
}

void note(const char* format, ...)
{
    if (quiet && !failed)
        return;
    std::fflush(transcript);
    std::va_list args;
    va_start(args, format);
    std::fprintf(stderr, "%s: %s\n", program_name, formatted(format, args).c_str());
    va_end(args);
}

int print_product(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return 0;
    const std::error_code cause = stream_error();
    std::fprintf(stderr, "%s: standard output: %s\n", program_name, reason(cause).c_str());
    return 1;
}

int refuse_output(refusal why, std::error_code cause, const std::string& name)
{
    if (why == refusal::is_input) {
        fail({}, name, is_input, name.c_str());
        note("name another output file.");
        return 1;
    }
    if (why == refusal::is_console)
        return fail({}, name, is_console, name.c_str());
    return fail(cause, name, opening_failed, name.c_str());
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

std::string shown_text(const std::string& text)
{
    return display_name(std::filesystem::u8path(visible_text(text)));
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
