// The command line both programs share:
//   <program> [option...] first_file [second_file]
// Options stand before the first file name, and "--" ends them: no word
// after the first file name is an option, so a file may be named like one.
// "-" alone is a file name.

#ifndef KORRIN_CLI_ARGUMENTS_H
#define KORRIN_CLI_ARGUMENTS_H

#include <filesystem>
#include <vector>

namespace korrin {

// How the bytes of a string stand in a file on the computer's side.
enum class file_form {
    bytes,  // exactly as they are
    text,   // UTF-8 text, in the calculator's own characters
    ascii,  // the calculator's ASCII transfer form, as its translated transfers write it
};

struct Arguments {
    bool help = false;
    bool version = false;
    bool quiet = false;
    file_form form = file_form::bytes;
    std::vector<std::filesystem::path> files;
    // The first word before the file names that looks like an option and
    // is none, or empty.
    std::filesystem::path unknown;
};

// Reads the words after the program's name.  Of --text and --ascii, the
// last one given holds.
Arguments read_arguments(const std::vector<std::filesystem::path>& words);

// The object file written for `input` when no output is named: beside it,
// its extension replaced by ".hp" (notes.txt gives notes.hp, README gives
// README.hp).
std::filesystem::path object_name(const std::filesystem::path& input);

}  // namespace korrin

#endif  // KORRIN_CLI_ARGUMENTS_H
