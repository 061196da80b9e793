// The harness of the program tests: it runs a built program from outside,
// each row of a table in a fresh folder of prepared files, and compares what
// a user sees: the transcript, the reason on standard error, the exit status
// and every file.
//
//   korrin_program_test [gtest flags] [--windows] -- KORRIN UNKORRIN
//
// KORRIN and UNKORRIN are the programs.  With --windows they are Windows
// builds, run under wine: the transcript is expected with CR LF line ends,
// and rows that need what Windows lacks are skipped.

#ifndef KORRIN_TESTS_HARNESS_H
#define KORRIN_TESTS_HARNESS_H

#include "programs.h"

#include <gtest/gtest.h>

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
extern std::vector<std::string>& korrin_command;
extern std::vector<std::string>& unkorrin_command;
extern std::string explorer_launcher;  // beside the Windows build: launcher/explorer.exe
extern const std::string korrin_banner;
extern const std::string unkorrin_banner;

void put(const fs::path& file, const std::string& bytes);
std::string data(const char* name);
std::string error(const std::string& text);
std::string every_value();

// Bytes that repeat no short pattern, so a dropped or doubled byte shows.
std::string noise(std::size_t size);

// A file as a row compares it: its permission bits, owner and extended
// attributes, then "| " and its content (a long one by its size and hash);
// where a symbolic link leads; or its kind.
std::string describe(const fs::path& file);

using Snapshot = std::map<std::string, std::string>;

// Where standard output goes.  A pipe is read until its end, a terminal
// is the program's controlling terminal.  `none` starts the program with
// standard input, output and error closed.
enum class Console { file, pipe, terminal, closed_pipe, none };

// Called once the first dot has been read from a pipe, while the program
// is in the middle of its copy: it cannot finish until the pipe is read.
// It may change the folder, and says so in `expected`.
using During = std::function<void(pid_t program, const fs::path& folder, Snapshot& expected)>;

struct Options {
    Console console = Console::file;
    bool unprivileged = false;  // as nobody, when the tests run as root
    // A program the run goes through: prlimit, for a limit (a file size
    // limit holds for the transcript too); strace, to hold a system call.
    std::vector<std::string> under;
    // On Windows, the program beside korrin.exe that files are dropped onto,
    // started as Explorer starts it; "" for none.
    std::string dropped;
    const std::vector<std::string>* program = nullptr;
};

struct Result {
    int status = -1;  // the exit status, or 128 plus the signal that ended it
    std::string transcript;
    std::string errors;  // standard error
};

// Options that run `program`.
inline Options with(const std::vector<std::string>& program, Console console = Console::file)
{
    Options options;
    options.console = console;
    options.program = &program;
    return options;
}

Result run(const fs::path& folder, const std::vector<std::string>& args, const Options& options = {},
           const During& during = nullptr, Snapshot* expected = nullptr);

// One run of a program, and all it must leave.  Rows are made by the
// builders in each table's file, which set what differs from a refusal of
// "in" and "out" that changes nothing.
struct Row {
    const char* name = "";
    std::vector<std::string> args;
    std::string input;                 // what "in" holds
    std::string said;                  // after the banner; for a copy, what comes before the dots
    std::string last;                  // after the dots
    long dots = -1;                    // how many, where it is known
    std::string reason;                // on standard error, after "<program>: "; "" for none
    Snapshot changes;                  // what the run makes of the prepared files; "" for gone
    // Files the run writes whole: their new content, all else of them kept
    // as it was (a new file is the tests' user's, 0644).
    std::map<std::string, std::string> objects;
    bool banner = true;                // whether the transcript starts with the banner
    bool opening_only = false;         // whether `said` is only how the transcript starts
    int status = 1;                    // under wine, a signal's status is Ctrl-C's
    std::string windows_said;          // when a Windows console shows it otherwise
    Options options;                   // the program among them
    // More to prepare, by a shell in the folder, as the tests' user; when it
    // fails, the row cannot run here, and is skipped with `skip`.
    std::string prepare;
    During during;
    const char* not_on_windows = nullptr;  // why the row cannot run there
    const char* skip = nullptr;        // why the row cannot run here, when `prepare` fails

    // Each of these gives the row with one thing more said of it.
    Row on(Console console) const { Row row = *this; row.options.console = console; return row; }
    Row skip_on_windows(const char* why) const { Row row = *this; row.not_on_windows = why; return row; }
    Row given(std::string bytes) const { Row row = *this; row.input = std::move(bytes); return row; }
    Row as_nobody() const
    {
        Row row = skip_on_windows("wine runs only as the owner of its prefix");
        row.options.unprivileged = true;
        return row;
    }
    // Prepared by `command`, run by a shell in the folder; or skipped with
    // `why` where that fails.
    Row prepared(std::string command, const char* why = "") const
    {
        Row row = *this;
        row.prepare = std::move(command);
        row.skip = why;
        return row;
    }
    // Written whole as the output, by its other name too.
    Row twin(const std::string& file, const std::string& other) const
    {
        Row row = *this;
        row.objects[other] = row.objects.at(file);
        return row;
    }
    // The input under another name too.
    Row named(const std::string& file) const { return prepared("cp in './" + file + "'"); }
    // Each `call` (on `file` alone, if named) goes through strace, which
    // injects `inject`: a delay, a failure, a signal.  `change`, if any,
    // runs in the folder once a delay has begun: strace writes the delayed
    // call to ../held, and the change waits for that line, up to five
    // seconds.  So a window between two steps of the run is opened from
    // outside.
    Row traced(const std::string& call, const std::string& inject, const std::string& file = "",
               const std::string& change = "") const
    {
        std::string command = (prepare.empty() ? "" : prepare + " && ") + "strace -qq -o /dev/null true";
        if (!change.empty())
            command += " && { (for i in $(seq 100); do grep -q DELAYED ../held && break; sleep 0.05; "
                       "done; " + change + ") & }";
        Row row = prepared(command, "it needs strace, allowed to trace here")
                      .skip_on_windows("strace cannot reach into wine's programs");
        // A path is matched as the program names it, and a descriptor by
        // the whole path it leads to: both are given.  strace's own words
        // go nowhere; the program's standard error is passed around it.
        // The leak checker of a sanitized build cannot work under a tracer.
        const std::string path = file.empty() ? "" : " -P \"$0\" -P \"$(realpath -m \"$0\")\"";
        row.options.under = {"sh", "-c",
                             "exec 3>&2; exec env ASAN_OPTIONS=detect_leaks=0:$ASAN_OPTIONS strace -f -qq -o ../held" +
                                 path + " -e trace=" + call + " -e inject=" + call + ":" + inject +
                                 " sh -c 'exec \"$@\" 2>&3 3>&-' sh \"$@\" 2>/dev/null",
                             file};
        return row;
    }
    // The `nth` `call` on `file` held for two seconds in the kernel while
    // `change` runs.
    Row delayed(const std::string& call, int nth, const std::string& file, const std::string& change) const
    {
        return traced(call, "delay_exit=2000000:when=" + std::to_string(nth), file, change);
    }
    // Run with a standard stream the shell's `redirection` sets: ">&-".
    Row redirected(const std::string& redirection) const
    {
        Row row = *this;
        row.options.under = {"sh", "-c", "exec \"$@\" " + redirection, "sh"};
        return row;
    }
    // Run under one of prlimit's limits: "--fsize=16384".
    Row limited(const std::string& limit) const
    {
        Row row = *this;
        row.options.under = {"prlimit", limit, "--"};
        return row;
    }
    // Files dropped onto `program`, under wine: it runs alone on a console
    // it shows, started by a program named explorer.exe.
    Row dropped(const char* program) const
    {
        Row row = on(Console::terminal).prepared(prepare + (prepare.empty() ? "" : " && ") + "test -n \"$WINEPREFIX\"",
                                                 "only Windows starts programs from Explorer");
        row.options.dropped = program;
        return row;
    }
    // What the run, or a change made during it, leaves of prepared files.
    Row changing(const Snapshot& files) const
    {
        Row row = *this;
        row.changes.insert(files.begin(), files.end());
        return row;
    }
    // Written in place, and cut to zero when the run fails.
    Row emptying(const std::vector<std::string>& files) const
    {
        Row row = *this;
        for (const std::string& file : files)
            row.objects[file] = "";
        return row;
    }
    // A copy that fails with `message`, which closes the line of dots first.
    Row failing(const std::string& message) const
    {
        Row row = *this;
        row.last = message.empty() ? "" : "\n" + error(message);
        return row;
    }
};

void PrintTo(const Row& row, std::ostream* out);

// A run of `program` on "in" holding "abc" that is refused: after the
// banner it says `said`, and the system's `reason` if any; nothing changes.
Row refusal(const std::vector<std::string>& program, const char* name, std::vector<std::string> args,
            std::string said, std::string reason = "");

// A fresh folder `work` for each row, in a folder of its own, holding the
// prepared files: in, out, big (too large for a string), folder, hard
// (a hard link to in), soft (a symbolic link to in), soft_new (to a file
// not there), soft_out (to out), fifo, linked and linked_twin (two hard
// links to one file), read_only, shared (anyone may write it; owned by root
// when the tests run as root), and locked/obj (a file the run may write in a
// folder where it may make no new file).
class Rows : public testing::TestWithParam<Row> {
protected:
    void SetUp() override;
    void TearDown() override;
    void check(const Row& row);

    fs::path root;
    fs::path work;
};

#endif  // KORRIN_TESTS_HARNESS_H
