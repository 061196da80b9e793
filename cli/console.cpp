#include "console.h"

#include "platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace korrin {

namespace {

const char* program_name = "";
bool quiet = false;

// The message's own text, as a quiet run gives it after the program's
// name: without the transcript's "  *** Error: " and its empty line.
void say_quietly(const char* message)
{
    const char* text = std::strstr(message, "*** ");
    text = text ? std::strchr(text + 4, ' ') + 1 : message;
    std::size_t size = std::strlen(text);
    while (size > 0 && text[size - 1] == '\n')
        --size;
    std::fprintf(stderr, "%s: %.*s\n", program_name, static_cast<int>(size), text);
}

}  // namespace

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

void print_version(const char* program)
{
    std::printf("%s %s\n"
                "Copyright (c) 2026 korrin developers; published under the MIT licence.\n",
                program, KORRIN_RELEASE);
}

void report(const char* format, ...)
{
    if (quiet)
        return;
    std::va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void print(const char* text)
{
    if (!quiet)
        std::fputs(text, stdout);
}

int fail(std::error_code cause, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::va_list copy;
    va_copy(copy, args);
    if (quiet) {
        std::va_list measure;
        va_copy(measure, args);
        const int size = std::vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        std::string message(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
        std::vsnprintf(message.data(), message.size() + 1, format, args);
        say_quietly(message.c_str());
    } else {
        std::vprintf(format, args);
    }
    if (cause) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s: %s\n", program_name, va_arg(copy, const char*), reason(cause).c_str());
    }
    va_end(copy);
    va_end(args);
    return 1;
}

int refuse_output(refusal why, std::error_code cause, const std::string& name)
{
    if (why == refusal::is_input)
        return fail({}, is_input, name.c_str());
    if (why == refusal::is_console)
        return fail({}, is_console, name.c_str());
    return fail(cause, opening_failed, name.c_str());
}

}  // namespace korrin
