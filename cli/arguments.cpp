#include "arguments.h"

#include "port.h"
#include "ports.h"

#include <cstdlib>
#include <cstring>
#include <string>

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

// What a value option's word goes into, or null for a flag.
std::string* value_of(const option_row& option, Arguments& arguments)
{
    switch (option.field) {
    case option_field::name: return &arguments.name;
    case option_field::get: return &arguments.get;
    default: return nullptr;
    }
}

// Sets a flag, by its row.
void take(const option_row& option, Arguments& arguments)
{
    switch (option.field) {
    case option_field::help: arguments.help = true; break;
    case option_field::version: arguments.version = true; break;
    case option_field::quiet: arguments.quiet = true; break;
    case option_field::text: arguments.form = file_form::text; break;
    case option_field::ascii: arguments.form = file_form::ascii; break;
    case option_field::replace: arguments.replace = true; break;
    case option_field::xmodem: arguments.xmodem = true; break;
    case option_field::kermit: arguments.kermit = true; break;
    case option_field::finish: arguments.finish = true; break;
    case option_field::ports: arguments.ports = true; break;
    default: break;
    }
}

bool takes(program_kind program, const option_row& option)
{
    return (option.programs & static_cast<unsigned>(program)) != 0;
}

// The row of a long option `program` takes, or of "/?", what Windows users
// type for help.
const option_row* long_option(const fs::path& word, program_kind program)
{
    for (const option_row& option : option_table)
        if (takes(program, option) && is(word, option.name))
            return &option;
#ifdef _WIN32
    if (is(word, "/?"))
        return long_option("--help", program);
#endif
    return nullptr;
}

const option_row* short_option(fs::path::value_type c, program_kind program)
{
    for (const option_row& option : option_table)
        if (takes(program, option) && option.letter != 0 && c == static_cast<unsigned char>(option.letter))
            return &option;
    return nullptr;
}

// A port, a name or a speed in UTF-8: on POSIX as the system gives it, and
// on Windows converted from the wide command line, so that a name goes to
// the calculator in its own characters as on POSIX, and one it lacks is
// refused by name.  What is no UTF-16 becomes U+FFFD, which it lacks too.
std::string narrow(const fs::path& word)
{
#ifdef _WIN32
    return utf8(word.native());
#else
    return word.native();
#endif
}

// What the run does over the line, by the option naming the port.
line_act act_of(option_field field)
{
    switch (field) {
    case option_field::send: return line_act::send;
    case option_field::receive: return line_act::receive;
    case option_field::list: return line_act::list;
    default: return line_act::none;
    }
}

// An option of the serial line, with the word after it where it takes
// one.  The port after --send, --receive and --list may be left out, to be
// found: a word that names no port is a file name, and an empty one a port
// named empty, which is refused.
void take_line_option(const option_row& option, const std::vector<fs::path>& words, std::size_t& i,
                      Arguments& arguments)
{
    std::string* const value = value_of(option, arguments);
    const bool last = i + 1 == words.size();
    if (option.port) {
        arguments.act = act_of(option.field);
        arguments.find_port = last || (!words[i + 1].empty() && !names_a_port(narrow(words[i + 1])));
        arguments.port = arguments.find_port ? std::string() : narrow(words[++i]);
    } else if ((value || option.field == option_field::baud) && last) {
        if (arguments.unknown.empty())
            arguments.unknown = words[i];
    } else if (value) {
        *value = narrow(words[++i]);
    } else if (option.field == option_field::baud) {
        const std::string speed = narrow(words[++i]);
        char* end = nullptr;
        const unsigned long number = std::strtoul(speed.c_str(), &end, 10);
        arguments.baud = static_cast<unsigned>(number);
        if ((speed.empty() || *end != '\0' || number > 1000000) && arguments.unknown.empty()) {
            arguments.unknown = words[i];
            arguments.unknown_is_speed = true;
        }
    } else {
        take(option, arguments);
    }
}

}  // namespace

const char* option_of(line_act act)
{
    for (const option_row& option : option_table)
        if (option.port && act_of(option.field) == act)
            return option.name;
    return "";
}

std::string options_help(program_kind program, bool line)
{
    // The option and its word in a column of 15, what it does beside, on
    // lines of its own below an option too wide for the column.
    const std::string indent(17, ' ');
    std::string text;
    for (const option_row& option : option_table) {
        if (!takes(program, option) || option.needs_port != line)
            continue;
        std::string head = "  ";
        if (option.letter != 0)
            head += std::string{'-', option.letter, ',', ' '};
        head += option.name;
        if (option.value)
            head += std::string(" ") + option.value;
        text += head.size() < indent.size() ? head + std::string(indent.size() - head.size(), ' ')
                                            : head + "\n" + indent;
        const char* help = program == program_kind::unkorrin && option.unkorrin_help ? option.unkorrin_help
                                                                                      : option.help;
        for (const char* c = help; *c != '\0'; ++c)
            text += *c == '\n' ? "\n" + indent : std::string(1, *c);
        if (option.field == option_field::baud)
            text += ":\n" + indent + speeds_text();
        text += '\n';
    }
    if (!line)
        text += "  --" + std::string(indent.size() - 4, ' ') + "end the options: what follows is a file name\n";
    return text;
}

Arguments read_arguments(const std::vector<fs::path>& words, program_kind program)
{
    Arguments arguments;
    bool names_only = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const fs::path& word = words[i];
        const auto& text = word.native();
        const option_row* const option = names_only ? nullptr : long_option(word, program);
        if (is(word, "--") && !names_only) {
            names_only = true;
        } else if (option && option->needs_port) {
            arguments.line_options.push_back(narrow(word));
            take_line_option(*option, words, i, arguments);
        } else if (option) {
            take(*option, arguments);
        } else if (names_only || text.size() < 2 || text[0] != '-') {
            arguments.files.push_back(word);
        } else if (text[1] != '-') {
            // Short options together, "-tq"; one letter that is none makes
            // the whole word unknown.
            bool known = true;
            for (std::size_t c = 1; c < text.size(); ++c)
                known = known && short_option(text[c], program);
            for (std::size_t c = 1; known && c < text.size(); ++c)
                take(*short_option(text[c], program), arguments);
            if (!known && arguments.unknown.empty())
                arguments.unknown = word;
        } else if (arguments.unknown.empty()) {
            arguments.unknown = word;
        }
    }
    return arguments;
}

}  // namespace korrin
