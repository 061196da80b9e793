// The bash completion offers what each program's table of options holds,
// read through its --help: the options it takes and no other, the speeds
// after --baud, the ports or files after the port's option, nothing after
// one that takes a name.

#include "arguments.h"
#include "port.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

struct Completion {
    const char* program;  // its path
    const char* words;    // the words before the one completed, which is empty or "-"
    const char* current;
};

// The words bash offers, completing the last word of `completion` in a
// folder that holds the one file "notes.txt".
std::set<std::string> offered(const Completion& completion)
{
    const std::string command = std::string("d=$(mktemp -d) && cd \"$d\" && touch notes.txt && bash -c '. \"$1\"; "
                                            "COMP_WORDS=(\"$2\" $3 \"$4\"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                            "_korrin; printf \"%s\\n\" \"${COMPREPLY[@]}\"' sh ") +
                                KORRIN_COMPLETION + " " + completion.program + " '" + completion.words + "' '" +
                                completion.current + "'; rm -rf \"$d\"";
    std::set<std::string> words;
    FILE* const shell = popen(command.c_str(), "r");
    if (!shell)
        return words;
    char line[256];
    while (std::fgets(line, sizeof line, shell)) {
        std::string word = line;
        word.pop_back();
        if (!word.empty())
            words.insert(word);
    }
    pclose(shell);
    return words;
}

std::set<std::string> options_of(korrin::program_kind kind)
{
    std::set<std::string> options = {"--"};
    for (const korrin::option_row& option : korrin::option_table) {
        if ((option.programs & static_cast<unsigned>(kind)) == 0)
            continue;
        options.insert(option.name);
        if (option.letter != 0)
            options.insert(std::string{'-', option.letter});
    }
    return options;
}

std::set<std::string> speeds()
{
    std::set<std::string> speeds;
    for (unsigned speed : korrin::line_speeds)
        speeds.insert(std::to_string(speed));
    return speeds;
}

TEST(Completion, OffersWhatTheTableHolds)
{
    using korrin::program_kind;
    struct Row {
        Completion completion;
        std::set<std::string> expected;
    };
    const Row rows[] = {
        {{KORRIN_PROGRAM, "", "-"}, options_of(program_kind::korrin)},
        {{UNKORRIN_PROGRAM, "", "-"}, options_of(program_kind::unkorrin)},
        {{KORRIN_PROGRAM, "-t --baud", ""}, speeds()},
        {{UNKORRIN_PROGRAM, "--baud", ""}, speeds()},
        {{KORRIN_PROGRAM, "--name", ""}, {}},
        {{UNKORRIN_PROGRAM, "--get", ""}, {}},
        // The ports found, if any, come first; the file, the port being
        // left out, in any case.
        {{KORRIN_PROGRAM, "--send", ""}, {"notes.txt"}},
        {{UNKORRIN_PROGRAM, "--list", ""}, {"notes.txt"}},
        // After "--" every word is a file name: no speeds.
        {{KORRIN_PROGRAM, "-- --baud", ""}, {"notes.txt"}},
    };
    for (const Row& row : rows) {
        std::set<std::string> got = offered(row.completion);
        if (row.expected == std::set<std::string>{"notes.txt"})
            for (auto word = got.begin(); word != got.end();)
                word = word->rfind("/dev/", 0) == 0 ? got.erase(word) : std::next(word);
        EXPECT_EQ(got, row.expected) << row.completion.program << " " << row.completion.words << " "
                                     << row.completion.current;
    }
}

}  // namespace
