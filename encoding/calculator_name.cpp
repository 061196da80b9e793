#include "calculator_name.h"

#include "text_forms.h"

namespace korrin {

namespace {

// The guillemets that open and close a program, in the calculator's
// character set.
constexpr char open_program = static_cast<char>(171);
constexpr char close_program = static_cast<char>(187);

constexpr std::string_view reserved_characters = "#[]{}\"':,;()/";

}  // namespace

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

std::string stored_name(const std::string& name)
{
    const text_reading reading = read_whole_text(name, {text_form::utf8, false});
    if (reading.fault_count != 0 || check_calculator_name(reading.bytes).problem != name_problem::none)
        return {};
    return reading.bytes;
}

std::string calculator_name(const std::filesystem::path& input)
{
    return input.filename().replace_extension().u8string();
}

}  // namespace korrin
