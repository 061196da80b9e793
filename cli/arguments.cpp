#include "arguments.h"

#include <cstring>

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

}  // namespace

Arguments read_arguments(const std::vector<fs::path>& words)
{
    Arguments arguments;
    std::size_t next = 0;
    for (; next < words.size(); ++next) {
        const fs::path& word = words[next];
        if (is(word, "--")) {
            ++next;
            break;
        }
        if (is(word, "-h") || is(word, "--help"))
            arguments.help = true;
#ifdef _WIN32
        // What Windows users type for help.
        else if (is(word, "/?"))
            arguments.help = true;
#endif
        else if (is(word, "-V") || is(word, "--version"))
            arguments.version = true;
        else if (is(word, "-q") || is(word, "--quiet"))
            arguments.quiet = true;
        else if (is(word, "-t") || is(word, "--text"))
            arguments.form = file_form::text;
        else if (is(word, "-a") || is(word, "--ascii"))
            arguments.form = file_form::ascii;
        else if (word.native().size() > 1 && word.native()[0] == '-') {
            if (arguments.unknown.empty())
                arguments.unknown = word;
        } else
            break;
    }
    arguments.files.assign(words.begin() + static_cast<std::ptrdiff_t>(next), words.end());
    return arguments;
}

fs::path object_name(const fs::path& input)
{
    fs::path object = input;
    return object.replace_extension(".hp");
}

}  // namespace korrin
