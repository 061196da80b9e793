#include "directory.h"

#include <algorithm>
#include <cstddef>

namespace korrin {

namespace {

// The checksum is a 16-bit CRC, so no figure has more than five digits.
constexpr std::uint32_t largest_checksum = 0xFFFF;
constexpr std::uint32_t decimal_base = 10;

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

// The path line that opens the reply, `{ HOME } 244692.`, taken off it.
bool read_path(std::string_view& reply)
{
    std::string_view path = next_line(reply);
    return !path.empty() && path.front() == '{';
}

// A line's size, type and checksum after its name.
bool read_figures(std::string_view text, directory_line& line)
{
    line.size = std::string(next_word(text));
    std::size_t last_space = text.find_last_of(' ');
    if (line.size.empty() || last_space == std::string_view::npos)
        return false;
    std::string_view type = text.substr(0, last_space);
    type.remove_prefix(std::min(type.size(), type.find_first_not_of(' ')));
    line.type = std::string(type);
    return !type.empty() && read_checksum(text.substr(last_space + 1), line.checksum);
}

}  // namespace

directory_entry find_directory_entry(std::string_view reply, std::string_view name)
{
    directory_entry entry;
    if (!read_path(reply))
        return entry;
    while (!reply.empty()) {
        std::string_view text = next_line(reply);
        if (next_word(text) != name)
            continue;
        directory_line line;
        if (!read_figures(text, line))
            return entry;
        entry.lookup = directory_lookup::found;
        entry.type = line.type;
        entry.checksum = line.checksum;
        return entry;
    }
    entry.lookup = directory_lookup::absent;
    return entry;
}

bool read_directory(std::string_view reply, std::vector<directory_line>& lines)
{
    lines.clear();
    if (!read_path(reply))
        return false;
    while (!reply.empty()) {
        std::string_view text = next_line(reply);
        directory_line line;
        line.name = std::string(next_word(text));
        if (line.name.empty())
            continue;
        if (!read_figures(text, line))
            return false;
        lines.push_back(std::move(line));
    }
    return true;
}


}  // namespace korrin
