// The start of a run of either program, from its command line to its exit
// status, the same for both.

#ifndef KORRIN_CLI_START_H
#define KORRIN_CLI_START_H

#include "arguments.h"

#include <filesystem>
#include <vector>

namespace korrin {

// Sets up the process before anything is printed or opened.
void prepare_start(const char* program);

// What tells the two programs apart at their start.
struct Program {
    const char* name;
    const char* banner;
    const char* usage;
    const char* drop;  // how to use the program from Explorer
    // Works on `file`, writing `output` when there is one.
    int (*run)(const std::filesystem::path& file, const std::filesystem::path* output, file_form form);
    // Whether a single file name is given an output beside it; without it
    // the file is only checked.
    bool writes_beside;
};

// Runs `program` on the words after its name, and returns the exit status.
int start_with(const Program& program, const std::vector<std::filesystem::path>& words);

// The same from the program's entry, of either width.  Memory may run out
// while the words are copied, so the cleanup is set up before.
template <typename Char>
int start(const Program& program, int argc, Char** argv)
{
    prepare_start(program.name);
    return start_with(program, {argv + 1, argv + argc});
}

}  // namespace korrin

#endif  // KORRIN_CLI_START_H
