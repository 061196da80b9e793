// The names the calculator stores variables under.

#ifndef KORRIN_ENCODING_CALCULATOR_NAME_H
#define KORRIN_ENCODING_CALCULATOR_NAME_H

#include <filesystem>
#include <string>
#include <string_view>

namespace korrin {

// Why the calculator could not store a variable under `name`, in its own
// character set (« is byte 171, » byte 187): none when it can.  A name must
// not be empty, not start with a digit, and hold no space and none of
// # [ ] { } « » " ' : , ; ( ) /, which the calculator's parser reads as
// the start or end of some other object.
enum class name_problem { none, empty, leading_digit, space, reserved_character };
struct name_check {
    name_problem problem = name_problem::none;
    char character = 0;            // the space or reserved character found first
};
name_check check_calculator_name(std::string_view name);

// `name`, given in UTF-8, in the calculator's own characters, if the
// calculator can store a variable under it; empty when it cannot.
std::string stored_name(const std::string& name);

// The name the calculator stores an object under when none is given: the
// input's file name without its last extension (notes.txt gives notes).
std::string calculator_name(const std::filesystem::path& input);

}  // namespace korrin

#endif  // KORRIN_ENCODING_CALCULATOR_NAME_H
