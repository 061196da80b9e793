// The harness of the program tests: it runs a built program from outside,
// each case in a fresh folder, and reads what a user sees: the transcript,
// the exit status and the files.
//
//   korrin_program_test [gtest flags] [--windows] [--runner WORD] -- KORRIN UNKORRIN
//
// KORRIN and UNKORRIN are the programs; a runner goes before each ("wine").
// With --windows the transcript is expected with CR LF line ends, and cases
// that need what Windows lacks are skipped.

#ifndef KORRIN_TESTS_HARNESS_H
#define KORRIN_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Whether the programs under test are Windows builds.
extern bool windows;

std::string crlf(const std::string& text);

// Console text as the program under test writes its line ends.
std::string lines(const std::string& text);

std::string slurp(const fs::path& file);
void put(const fs::path& file, const std::string& bytes);

// A stored file of the tests.
std::string data(const char* name);

// Bytes that repeat no short pattern, so a dropped or doubled byte shows.
std::string noise(std::size_t size);

// A file as a case compares it: its permission bits and content (a long
// one by its size and hash), where a symbolic link leads, or its kind.
std::string describe(const fs::path& file);

using Snapshot = std::map<std::string, std::string>;

// Every name under `folder`, described, so a case can show that a refused
// run created, changed or removed nothing.
Snapshot snapshot(const fs::path& folder);

// The snapshot once the program's files have settled: under wine a file
// the program removed may stay a moment after its process has ended, so
// the snapshot is taken again, for a few seconds at most, until it is
// `expected`.
Snapshot settled_snapshot(const fs::path& folder, const Snapshot& expected);

// Whether a user other than the owner can reach `folder`: every folder on
// its way lets others pass.
bool open_to_others(const fs::path& folder);

// Where standard output goes.  A pipe is read until its end.  `none` starts
// the program with standard input, output and error closed.
enum class Console { file, pipe, terminal, closed_pipe, none };

struct Result {
    int status = -1;
    std::string transcript;
    long writes = -1;  // write calls the program made, where Linux counts them
};

// Called once the first dot has been read from a pipe, while the program
// is in the middle of its copy: it cannot finish until the pipe is read.
using During = std::function<void(pid_t program, const fs::path& folder, Snapshot& expected)>;

struct Options {
    Console console = Console::file;
    rlim_t file_size_limit = RLIM_INFINITY;
    rlim_t memory_limit = RLIM_INFINITY;
    bool unprivileged = false;  // run as nobody when the tests run as root
    During during = nullptr;
    Snapshot* expected = nullptr;  // handed to `during`
    const std::vector<std::string>* program = nullptr;  // the fixture's when null
    rlim_t descriptor_limit = RLIM_INFINITY;
};

constexpr uid_t nobody = 65534;

// Runs the program the case's fixture names in `folder` with `args`.  The
// status is the exit status, or 128 plus the signal that ended the program.
Result run(const fs::path& folder, const std::vector<std::string>& args, Options options = {});

std::string error(const std::string& text);

// Checks a transcript that starts with `said` and ends with `last`, with
// nothing but progress dots between.
void expect_transcript(const std::string& got, const std::string& said, const std::string& last);

// A fresh folder `work` for each case, in a folder `root` of its own, and
// which program the case runs.
class ProgramTest : public testing::Test {
protected:
    explicit ProgramTest(const std::vector<std::string>& command) : command(command) {}
    void SetUp() override;
    void TearDown() override;

    const std::vector<std::string>& command;
    fs::path root;
    fs::path work;
};

extern std::vector<std::string> korrin_command;
extern std::vector<std::string> unkorrin_command;

class Korrin : public ProgramTest {
protected:
    Korrin() : ProgramTest(korrin_command) {}
};

class Unkorrin : public ProgramTest {
protected:
    Unkorrin() : ProgramTest(unkorrin_command) {}
};

#endif  // KORRIN_TESTS_HARNESS_H
