// korrin from outside: each case a row of a table where it can be, its
// transcript, exit status and files compared byte for byte.

#include "harness.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

const std::string banner =
    "Korrin\nVersion 1.0  12-jul-2001\n\n  Usage:  korrin input_file output_file\n\n";

struct Conversion {
    std::vector<std::string> args;
    std::string input;
    std::string transcript;
    std::string object;
};

Conversion converted(const std::string& input, const std::string& length_lines, const char (&field)[4])
{
    return {{"in", "out"}, input, banner + length_lines + std::string(input.size(), '.') + "\nDone.\n\n",
            "HPHP49-B,*" + std::string(field, 3) + input};
}

// Each input reaches the object unchanged, and an existing output is
// truncated, never appended to.
TEST_F(Korrin, ConvertsEveryByteUnchanged)
{
    std::string every_value;
    for (int value = 0; value < 256; ++value)
        every_value += static_cast<char>(value);
    const std::string three = data("three.in");
    const std::string transcript = data("three.transcript");
    const std::string object = data("three.hp");

    const Conversion rows[] = {
        // The format's own three-byte example, against stored files.
        {{"in", "out"}, three, transcript, object},
        // Words after output_file change nothing.
        {{"in", "out", "more", "words"}, three, transcript, object},
        // A name outside any ANSI code page reaches the file system whole.
        {{"dätä π.bin", "ωμέγα ünï.hp"}, three, transcript, object},
        // Length lines and field bytes worked by hand from L = 2S + 5.
        converted("", "00005\n50\n0\n0\n", "\x50\x00\x00"),
        converted(every_value, "00205\n50\n20\n0\n", "\x50\x20\x00"),
        converted(noise(524285), "fffff\nf0\nff\nff\n", "\xf0\xff\xff"),
    };
    for (const Conversion& row : rows) {
        SCOPED_TRACE(row.args[0] + ", " + std::to_string(row.input.size()) + " bytes");
        fs::remove_all(work);
        fs::create_directory(work);
        put(work / row.args[0], row.input);
        const fs::path output = work / row.args[1];
        put(output, std::string(600000, 'x'));
        // The replaced output keeps its permission bits and its owner.
        fs::permissions(output, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        const uid_t owner = geteuid() == 0 ? nobody : geteuid();
        ASSERT_EQ(chown(output.c_str(), owner, owner == nobody ? nobody : getegid()), 0);
        struct stat before;
        ASSERT_EQ(stat(output.c_str(), &before), 0);
        const Result result = run(work, row.args);
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(result.transcript == lines(row.transcript)) << result.transcript.substr(0, 200);
        EXPECT_TRUE(slurp(output) == row.object);
        EXPECT_EQ(snapshot(work).size(), 2u);
        struct stat after;
        ASSERT_EQ(stat(output.c_str(), &after), 0);
        if (!windows) {  // there the bits and the owner are wine's, not the program's
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_EQ(after.st_uid, before.st_uid);
            EXPECT_EQ(after.st_gid, before.st_gid);
        }
    }
}

struct Failure {
    const char* name;
    std::vector<std::string> args;
    std::string said;  // after the banner; for a failed copy, up to the dots
    std::string last;  // for a failed copy, after the dots
    const char* not_on_windows = nullptr;  // why the case cannot run there
    std::size_t input_size = 3;
    rlim_t file_size_limit = RLIM_INFINITY;  // on every file, the transcript's too
    std::string windows_said = "";  // when a Windows console shows it otherwise
    Console console = Console::file;
    bool unprivileged = false;  // as nobody, when the tests run as root
    std::vector<std::string> emptied = {};  // written in place, and cut to zero
    During during = nullptr;
    int status = 1;
    int windows_status = 1;
    rlim_t descriptor_limit = RLIM_INFINITY;
    bool needs_root = false;  // to make a file of another owner
};

Failure on_pipe(Failure row)
{
    row.console = Console::pipe;
    return row;
}

Failure as_nobody(Failure row)
{
    row.unprivileged = true;
    row.not_on_windows = "wine runs only as the owner of its prefix";
    return row;
}

// A copy of 100000 bytes into `output` that fails at a file size limit.
Failure past_size_limit(const char* name, const std::string& output, std::vector<std::string> emptied = {})
{
    Failure row = {name, {"in", output}, "30d45\n50\nd4\n30\n", "\n" + error("Problem writing file <" + output + ">."),
                   nullptr, 100000, 16384};
    row.console = Console::pipe;
    row.emptied = std::move(emptied);
    return row;
}

// The link that is the output is turned to the old output in the middle of
// the run, and the input grows so that the run fails: it removes its own new
// file and nothing the link leads to now.
Failure link_turned_during_the_run()
{
    Failure row = {"link_turned_during_the_run", {"in", "soft_new"}, "30d45\n50\nd4\n30\n",
                   "\n" + error("File <in> changed while it was read."), nullptr, 100000};
    row.console = Console::pipe;
    row.during = [](pid_t, const fs::path& folder, Snapshot& expected) {
        fs::remove(folder / "soft_new");
        fs::create_symlink("out", folder / "soft_new");
        std::ofstream(folder / "in", std::ios::binary | std::ios::app) << "more";
        for (const char* name : {"soft_new", "in", "hard"})
            expected[name] = describe(folder / name);
    };
    return row;
}

// A copy into the existing output, ended by `signal` in its middle.  The
// pipe is read again only once the program has ended: blocked on its
// report, it cannot finish the object first, so only the handling of the
// signal can end it.
Failure interrupted(const char* name, int signal)
{
    Failure row = {name, {"in", "out"}, "30d45\n50\nd4\n30\n", "", nullptr, 100000};
    row.console = Console::pipe;
    row.during = [signal](pid_t program, const fs::path&, Snapshot&) {
        kill(program, signal);
        siginfo_t ended;
        waitid(P_PID, static_cast<id_t>(program), &ended, WEXITED | WNOWAIT);
    };
    row.status = 128 + signal;
    if (signal != SIGINT)
        row.not_on_windows = "it has no such signal, and wine ends its programs at once on it";
    // Ctrl-C ends a Windows program with STATUS_CONTROL_C_EXIT, of which
    // wine passes on the low byte.
    row.windows_status = 0x3a;
    return row;
}

void PrintTo(const Failure& row, std::ostream* out)
{
    *out << row.name;
}

class Fails : public Korrin, public testing::WithParamInterface<Failure> {};

// A failed run leaves the folder as it was: a refusal creates and changes
// nothing, and a copy that fails or is interrupted leaves the old output
// whole and removes its own new file; only a file written in place is cut
// to zero length.
TEST_P(Fails, LeavesEveryFileAsItWas)
{
    const Failure& row = GetParam();
    if (windows && row.not_on_windows)
        GTEST_SKIP() << "not on Windows: " << row.not_on_windows;
    if (row.needs_root && geteuid() != 0)
        GTEST_SKIP() << "only root can make a file of another owner";
    if (row.unprivileged && geteuid() == 0 && !open_to_others(work))
        GTEST_SKIP() << "nobody cannot reach " << work << ": give TMPDIR a folder open to all";
    for (const std::string& arg : row.args)
        if (arg[0] == '/' && !fs::exists(arg))
            GTEST_SKIP() << arg << " is not on this system";
    put(work / "in", noise(row.input_size));
    put(work / "out", "old");
    put(work / "big", std::string(524286, 'b'));
    ASSERT_TRUE(fs::create_directory(work / "folder"));
    fs::create_hard_link(work / "in", work / "hard");
    fs::create_symlink("in", work / "soft");
    fs::create_symlink("new", work / "soft_new");
    ASSERT_EQ(mkfifo((work / "fifo").c_str(), 0600), 0);
    put(work / "linked", "old");
    fs::create_hard_link(work / "linked", work / "linked_twin");
    put(work / "read_only", "old");
    fs::permissions(work / "read_only", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    // Anyone may write it; only its owner, root when the tests run as root,
    // may give a new file its owner.
    put(work / "shared", "old");
    fs::permissions(work / "shared", fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
    // A file the run may write, in a folder where it may make no new file.
    ASSERT_TRUE(fs::create_directory(work / "locked"));
    put(work / "locked/obj", "old");
    if (geteuid() == 0) {
        ASSERT_EQ(chown((work / "locked/obj").c_str(), nobody, nobody), 0);
    }
    fs::permissions(work / "locked", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    // A full disk of our own: a node for the device that fails every write,
    // so a run that wrongly removed it would remove nothing of the system's.
    if (std::find(row.args.begin(), row.args.end(), "full") != row.args.end() &&
        mknod((work / "full").c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0)
        GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
    Snapshot expected = snapshot(work);
    for (const std::string& name : row.emptied)
        expected[name] = describe(work / name).substr(0, 5);

    const Result result = run(work, row.args,
                              {row.console, row.file_size_limit, RLIM_INFINITY, row.unprivileged, row.during, &expected,
                               nullptr, row.descriptor_limit});
    EXPECT_EQ(result.status, windows ? row.windows_status : row.status);
    const std::string said = lines(banner + (windows && !row.windows_said.empty() ? row.windows_said : row.said));
    const std::string last = lines(row.last);
    expect_transcript(result.transcript, said, last);
    EXPECT_EQ(settled_snapshot(work, expected), expected);
}

const Failure failures[] = {
    {"no_arguments", {}, error("Missing arguments."), ""},
    {"one_argument", {"in"}, error("Missing arguments."), ""},
    {"input_missing", {"none", "out"}, error("Problem opening file <none>."), ""},
    // Windows shows the name in its console's code page, '?' for what it lacks.
    {"input_missing_named_outside_ansi", {"nöne π.bin", "out"}, error("Problem opening file <nöne π.bin>."), "",
     nullptr, 3, RLIM_INFINITY, error("Problem opening file <n\xf6ne ?.bin>.")},
    // A directory opens on some systems and then fails every read.
    {"input_is_a_directory", {"folder", "out"}, error("Problem opening file <folder>."), ""},
    {"input_too_large", {"big", "out"}, error("File <big> is too large (at most 524285 bytes)."), ""},
    {"output_is_the_input", {"in", "in"}, error("Output file <in> is the input file."), ""},
    {"output_is_a_hard_link_to_the_input", {"in", "hard"}, error("Output file <hard> is the input file."), ""},
    {"output_folder_missing", {"in", "none/out"}, error("Problem opening file <none/out>."), ""},
    // The report would run through the object.
    {"output_is_standard_output", {"in", "../transcript"}, error("Output file <../transcript> is standard output."),
     "", "wine cannot identify the file it hands a program as standard output"},
    {"output_is_a_symbolic_link_to_the_input", {"in", "soft"}, error("Output file <soft> is the input file."), "",
     nullptr},
    // Opening a FIFO waits for a writer: the run must refuse it, not hang.
    {"input_is_a_fifo", {"fifo", "out"}, error("Problem opening file <fifo>."), "", "it has no FIFOs"},
    {"input_is_a_device", {"/dev/zero", "out"}, error("Problem opening file </dev/zero>."), "", "it has no device files"},
    // Every write to the full device fails as on a full disk, here only
    // when the output is closed; the device is not removed.
    {"output_device_is_full", {"in", "full"}, "0000b\nb0\n0\n0\n", "\n" + error("Problem writing file <full>."),
     "it has no device files"},
    // An output FIFO with no reader is refused, not waited on.
    {"output_is_a_fifo_without_a_reader", {"in", "fifo"}, error("Problem opening file <fifo>."), "", "it has no FIFOs"},
    on_pipe({"output_is_standard_output_through_a_pipe", {"in", "/dev/stdout"},
             error("Output file </dev/stdout> is standard output."), "", "it has no /dev/stdout"}),
    // Replacing it by a rename must not get around its permission bits.
    as_nobody({"output_is_read_only", {"in", "read_only"}, error("Problem opening file <read_only>."), ""}),
    // Writes fail in the middle of the copy: a new output is never made,
    // an existing one is kept, and a link leads to no file afterwards.
    past_size_limit("output_reaches_the_file_size_limit", "new"),
    past_size_limit("old_output_is_kept_when_the_copy_fails", "out"),
    past_size_limit("output_link_reaches_the_file_size_limit", "soft_new"),
    // Written in place, so that each name keeps seeing one file.
    past_size_limit("hard_linked_output_is_cut_to_zero", "linked", {"linked", "linked_twin"}),
    as_nobody(past_size_limit("output_in_a_locked_folder_is_cut_to_zero", "locked/obj", {"locked/obj"})),
    // A file of root's in a folder open to all, written as nobody: its owner
    // could not be kept, as in /tmp.
    [] {
        Failure row = as_nobody(past_size_limit("output_of_another_owner_is_cut_to_zero", "shared", {"shared"}));
        row.needs_root = true;
        return row;
    }(),
    // Six descriptors: the standard three, the input, the folder and the
    // old output, and none left for the new file.  The old output is not
    // then written in place: only a folder that refuses new files, or an
    // owner that cannot be kept, sends the object there.
    [] {
        Failure row = {"no_descriptor_left_for_the_new_file", {"in", "out"}, error("Problem opening file <out>."), "",
                       "wine needs more descriptors than the program"};
        row.descriptor_limit = 6;
        return row;
    }(),
    link_turned_during_the_run(),
    interrupted("interrupt_keeps_the_old_output", SIGINT),
    interrupted("termination_keeps_the_old_output", SIGTERM),
    interrupted("hangup_keeps_the_old_output", SIGHUP),
    interrupted("quit_keeps_the_old_output", SIGQUIT),
    // Reading the start of a process's memory fails: nothing is mapped there.
    {"input_read_fails", {"/proc/self/mem", "new"}, "00005\n50\n0\n0\n",
     "\n" + error("Problem reading file </proc/self/mem>."), "it has no /proc"},
    // /proc reports a size of 0 for files that hold text.
    {"input_longer_than_its_size", {"/proc/self/status", "new"}, "00005\n50\n0\n0\n",
     "\n" + error("File </proc/self/status> changed while it was read."), "it has no /proc"},
    // /sys reports 4096 bytes for files that hold a few.
    {"input_shorter_than_its_size", {"/sys/devices/system/cpu/online", "new"}, "02005\n50\n0\n2\n",
     "\n" + error("File </sys/devices/system/cpu/online> changed while it was read."), "it has no /sys"},
};

INSTANTIATE_TEST_SUITE_P(Korrin, Fails, testing::ValuesIn(failures),
                         [](const testing::TestParamInfo<Failure>& info) { return info.param.name; });

// The console is a report: with nobody reading it, or with standard
// input, output and error closed from the start, the object is still
// written whole, none of the report in it, and the run still succeeds.
TEST_F(Korrin, ClosedConsoleDoesNotStopTheConversion)
{
    const Conversion expected = converted(noise(100000), "30d45\n50\nd4\n30\n", "\x50\xd4\x30");
    put(work / "in", expected.input);
    for (const Console console : {Console::closed_pipe, Console::none}) {
        const Result result = run(work, {"in", "out"}, {console});
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(slurp(work / "out") == expected.object);
    }
}

// Through a symbolic link, the file it leads to is replaced, in its own
// folder, and the link stays.
TEST_F(Korrin, ReplacesTheFileALinkLeadsTo)
{
    const Conversion expected = converted("abc", "0000b\nb0\n0\n0\n", "\xb0\x00\x00");
    put(work / "in", expected.input);
    ASSERT_TRUE(fs::create_directory(work / "folder"));
    put(work / "folder/target", "old");
    fs::create_symlink("folder/target", work / "link");
    EXPECT_EQ(run(work, {"in", "link"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(work / "link")));
    EXPECT_EQ(slurp(work / "folder/target"), expected.object);
    EXPECT_EQ(snapshot(work).size(), 4u);
}

// Two runs into one output at once each write a whole object, and the
// output ends as the one that finished last, never a mix of both.
TEST_F(Korrin, TwoRunsIntoOneOutputLeaveOneWholeObject)
{
    const Conversion first = converted(noise(100000), "30d45\n50\nd4\n30\n", "\x50\xd4\x30");
    put(work / "in", first.input);
    put(work / "other", "abc");
    Result second;
    Snapshot unused;
    const auto run_second = [&](pid_t, const fs::path& folder, Snapshot&) { second = run(folder, {"other", "out"}); };
    const Result result = run(work, {"in", "out"}, {Console::pipe, RLIM_INFINITY, RLIM_INFINITY, false, run_second,
                                                    &unused});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(slurp(work / "out") == first.object);
    EXPECT_EQ(snapshot(work).size(), 3u);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
constexpr bool address_sanitizer = __has_feature(address_sanitizer);
#else
constexpr bool address_sanitizer = false;
#endif

// Out of memory, a run ends with status 1, never by an uncaught exception.
// The limit on its memory goes up until the program starts but cannot hold
// copies of its very long names.
TEST_F(Korrin, RunOutOfMemoryEndsWithStatusOne)
{
    if (windows || address_sanitizer)
        GTEST_SKIP() << "wine and AddressSanitizer need more memory than the limits tried";
    // The longest argument Linux passes.
    const std::string name(128 * 1024 - 1, 'n');
    bool ran_out = false;
    for (rlim_t limit = 1 << 20; limit <= 64 << 20 && !ran_out; limit += 64 << 10) {
        const Result result = run(work, {name, name}, {Console::file, RLIM_INFINITY, limit});
        ASSERT_NE(result.status, 128 + SIGABRT) << "memory limit " << limit;
        ran_out = result.status == 1 && result.transcript == banner;
    }
    EXPECT_TRUE(ran_out) << "no limit tried ran the program out of memory";
}

// On a terminal each print goes out as it ends, every dot a write of its
// own; the text is the same, with the terminal's own CR LF line ends.
TEST_F(Korrin, TerminalShowsEachDotAsItsByteIsCopied)
{
    if (windows)
        GTEST_SKIP() << "not on Windows: it has no pseudo-terminals";
    const Conversion expected = converted(noise(1000), "007d5\n50\n7d\n0\n", "\x50\x7d\x00");
    put(work / "in", expected.input);
    const Result result = run(work, {"in", "out"}, {Console::terminal});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.transcript, crlf(expected.transcript));
    EXPECT_TRUE(slurp(work / "out") == expected.object);
    if (result.writes < 0)
        GTEST_SKIP() << "this system does not count a program's write calls";
    EXPECT_GE(result.writes, 1000);
}

}  // namespace
