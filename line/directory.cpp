#include "directory.h"

#include <algorithm>
#include <cstddef>

namespace korrin {

namespace {

// The checksum is a 16-bit CRC, so no figure has more than five digits.
constexpr std::uint32_t largest_checksum = 0xFFFF;
constexpr std::uint32_t decimal_base = 10;

// The guillemets that open and close a program, in the calculator's
// character set.
constexpr char open_program = static_cast<char>(171);
constexpr char close_program = static_cast<char>(187);

constexpr std::string_view reserved_characters = "#[]{}\"':,;()/";

std::string_view next_line(std::string_view& text)
{
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

std::string_view next_word(std::string_view& line)
{
    std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    std::size_t end = line.find(' ');
    std::string_view word = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    return word;
}

// A whole number with the full stop the calculator writes after it.
bool read_checksum(std::string_view word, std::uint32_t& value)
{
    if (word.size() < 2 || word.back() != '.')
        return false;
    word.remove_suffix(1);
    value = 0;
    for (char c : word) {
        if (c < '0' || c > '9')
            return false;
        value = value * decimal_base + static_cast<std::uint32_t>(c - '0');
        if (value > largest_checksum)
            return false;
    }
    return true;
}

}  // namespace

directory_entry find_directory_entry(std::string_view reply, std::string_view name)
{
    directory_entry entry;
    std::string_view path = next_line(reply);
    if (path.empty() || path.front() != '{')
        return entry;
    while (!reply.empty()) {
        std::string_view line = next_line(reply);
        if (next_word(line) != name)
            continue;
        std::string_view size = next_word(line);
        std::size_t last_space = line.find_last_of(' ');
        if (size.empty() || last_space == std::string_view::npos)
            return entry;
        std::string_view type = line.substr(0, last_space);
        type.remove_prefix(std::min(type.size(), type.find_first_not_of(' ')));
        if (type.empty() || !read_checksum(line.substr(last_space + 1), entry.checksum))
            return entry;
        entry.lookup = directory_lookup::found;
        entry.type = std::string(type);
        return entry;
    }
    entry.lookup = directory_lookup::absent;
    return entry;
}

name_check check_calculator_name(std::string_view name)
{
    if (name.empty())
        return {name_problem::empty, 0};
    if (name.front() >= '0' && name.front() <= '9')
        return {name_problem::leading_digit, name.front()};
    for (char c : name) {
        if (c == ' ')
            return {name_problem::space, c};
        if (c == open_program || c == close_program || reserved_characters.find(c) != std::string_view::npos)
            return {name_problem::reserved_character, c};
    }
    return {};
}

}  // namespace korrin
