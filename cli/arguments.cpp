#include "arguments.h"

#include "ports.h"

#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace korrin {

namespace fs = std::filesystem;

namespace {

// Whether `word` is the ASCII text `option`, in a name of either width.
bool is(const fs::path& word, const char* option)
{
    const auto& text = word.native();
    if (text.size() != std::strlen(option))
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] != static_cast<unsigned char>(option[i]))
            return false;
    return true;
}

struct Option {
    char letter;
    const char* name;
};

constexpr Option options[] = {
    {'h', "--help"}, {'V', "--version"}, {'q', "--quiet"}, {'t', "--text"}, {'a', "--ascii"}, {'r', "--replace"},
};

void take(char letter, Arguments& arguments)
{
    switch (letter) {
    case 'h': arguments.help = true; break;
    case 'V': arguments.version = true; break;
    case 'q': arguments.quiet = true; break;
    case 't': arguments.form = file_form::text; break;
    case 'a': arguments.form = file_form::ascii; break;
    case 'r': arguments.replace = true; break;
    }
}

// The letter of a long option, or 0.
char letter_of(const fs::path& word)
{
    for (const Option& option : options)
        if (is(word, option.name))
            return option.letter;
#ifdef _WIN32
    // What Windows users type for help.
    if (is(word, "/?"))
        return 'h';
#endif
    return 0;
}

bool is_short(fs::path::value_type c)
{
    for (const Option& option : options)
        if (c == static_cast<unsigned char>(option.letter))
            return true;
    return false;
}

// The options that take a value, the next word: --send PORT.
std::string* valued(const fs::path& word, Arguments& arguments)
{
    if (is(word, "--send"))
        return &arguments.send;
    if (is(word, "--receive"))
        return &arguments.receive;
    if (is(word, "--name"))
        return &arguments.name;
    if (is(word, "--get"))
        return &arguments.get;
    if (is(word, "--list"))
        return &arguments.list;
    return nullptr;
}

// A port, a name or a speed in UTF-8: on POSIX as the system gives it, and
// on Windows converted from the wide command line, so that a name goes to
// the calculator in its own characters as on POSIX, and one it lacks is
// refused by name.  What is no UTF-16 becomes U+FFFD, which it lacks too.
std::string narrow(const fs::path& word)
{
#ifdef _WIN32
    const std::wstring& wide = word.native();
    // A Windows command line holds at most 32767 characters.
    const int wide_size = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, text.data(), size, nullptr, nullptr);
    return text;
#else
    return word.native();
#endif
}

}  // namespace

Arguments read_arguments(const std::vector<fs::path>& words)
{
    Arguments arguments;
    bool names_only = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const fs::path& word = words[i];
        const auto& text = word.native();
        std::string* value = names_only ? nullptr : valued(word, arguments);
        const bool baud = !names_only && is(word, "--baud");
        const bool flag = !names_only && (is(word, "--xmodem") || is(word, "--kermit") || is(word, "--finish"));
        if (value || baud || flag)
            arguments.line_options.push_back(narrow(word));
        // The port after --send, --receive and --list may be left out, to
        // be found: a word that names no port is a file name.
        const bool port = value == &arguments.send || value == &arguments.receive || value == &arguments.list;
        // An empty word is a port named empty, which is refused.
        if (port && (i + 1 == words.size() || (!words[i + 1].empty() && !names_a_port(narrow(words[i + 1]))))) {
            arguments.find_port_for = narrow(word);
        } else if ((value || baud) && i + 1 == words.size()) {
            if (arguments.unknown.empty())
                arguments.unknown = word;
        } else if (value) {
            *value = narrow(words[++i]);
        } else if (baud) {
            const std::string speed = narrow(words[++i]);
            char* end = nullptr;
            const unsigned long number = std::strtoul(speed.c_str(), &end, 10);
            arguments.baud = static_cast<unsigned>(number);
            if ((speed.empty() || *end != '\0' || number > 1000000) && arguments.unknown.empty())
                arguments.unknown = word.native() + fs::path::string_type(1, '=') + words[i].native();
        } else if (!names_only && is(word, "--xmodem")) {
            arguments.xmodem = true;
        } else if (!names_only && is(word, "--kermit")) {
            arguments.kermit = true;
        } else if (!names_only && is(word, "--finish")) {
            arguments.finish = true;
        } else if (!names_only && is(word, "--ports")) {
            arguments.ports = true;
        } else if (names_only || text.size() < 2 || text[0] != '-') {
            // "/?" is no file name on Windows.
            if (const char letter = names_only ? 0 : letter_of(word))
                take(letter, arguments);
            else
                arguments.files.push_back(word);
        } else if (is(word, "--")) {
            names_only = true;
        } else if (const char letter = letter_of(word)) {
            take(letter, arguments);
        } else if (text[1] != '-') {
            // Short options together, "-tq"; one letter that is none makes
            // the whole word unknown.
            bool known = true;
            for (std::size_t i = 1; i < text.size(); ++i)
                known = known && is_short(text[i]);
            for (std::size_t i = 1; known && i < text.size(); ++i)
                take(static_cast<char>(text[i]), arguments);
            if (!known && arguments.unknown.empty())
                arguments.unknown = word;
        } else if (arguments.unknown.empty()) {
            arguments.unknown = word;
        }
    }
    // Listing is receiving a directory: the port is the one received on.
    if (arguments.receive.empty())
        arguments.receive = arguments.list;
    return arguments;
}

}  // namespace korrin
