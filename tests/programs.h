// What the test programs share: a file read whole, and the programs a test
// runs, as its command line names them.

#ifndef KORRIN_TESTS_PROGRAMS_H
#define KORRIN_TESTS_PROGRAMS_H

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline std::string slurp(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#ifdef KORRIN_PROGRAM
// The commands that run korrin and unkorrin: the programs built beside the
// test, or those named after "--"; with --windows, Windows builds, run
// under wine.  False, after the usage, for any other command line.
inline bool programs_under_test(int argc, char** argv, bool& windows, std::vector<std::string> (&commands)[2])
{
    windows = argc == 5 && std::strcmp(argv[1], "--windows") == 0;
    if (argc != 1 && (argc != (windows ? 5 : 4) || std::strcmp(argv[argc - 3], "--") != 0)) {
        std::fprintf(stderr, "usage: %s [gtest flags] [[--windows] -- KORRIN UNKORRIN]\n", argv[0]);
        return false;
    }
    const char* const built[] = {KORRIN_PROGRAM, UNKORRIN_PROGRAM};
    for (int i = 0; i < 2; ++i) {
        // Each row runs in a folder of its own.
        commands[i] = {std::filesystem::absolute(argc > 1 ? argv[argc - 2 + i] : built[i]).string()};
        commands[i].insert(commands[i].begin(), windows ? 1 : 0, "wine");
    }
    return true;
}
#endif

#endif  // KORRIN_TESTS_PROGRAMS_H
