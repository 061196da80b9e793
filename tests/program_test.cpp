// Runs the built program from outside, each case in a fresh folder, and
// checks what a user sees: the transcript, the exit status and both files.
//
//   korrin_program_test [gtest flags] [--windows] -- command...
//
// The command runs the program: its path, or a runner and the path
// ("wine korrin.exe").  With --windows the transcript is expected with CR LF
// line ends, and cases that need what Windows lacks are skipped.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> program;
bool windows = false;

const std::string banner =
    "Korrin\nVersion 1.0  12-jul-2001\n\n  Usage:  korrin input_file output_file\n\n";

std::string message(const std::string& text, const std::string& name)
{
    return "  *** Error: " + text.substr(0, text.find("%s")) + name + text.substr(text.find("%s") + 2) +
           "\n\n";
}
const std::string missing = "  *** Error: Missing arguments.\n\n";
const char opening[] = "Problem opening file <%s>.";
const char reading[] = "Problem reading file <%s>.";
const char writing[] = "Problem writing file <%s>.";
const char too_large[] = "File <%s> is too large (at most 524285 bytes).";
const char is_input[] = "Output file <%s> is the input file.";
const char changed[] = "File <%s> changed while it was read.";

std::string crlf(const std::string& text)
{
    std::string converted;
    for (const char c : text) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return converted;
}

// Console text as the program under test writes its line ends.
std::string lines(const std::string& text)
{
    return windows ? crlf(text) : text;
}

std::string slurp(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const fs::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.flush()) << file;
}

std::string data(const char* name)
{
    return slurp(fs::path(KORRIN_TEST_DATA) / name);
}

// Bytes that repeat no short pattern, so a dropped or doubled byte shows.
std::string noise(std::size_t size)
{
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char& byte : bytes) {
        state = state * 1103515245 + 12345;
        byte = static_cast<char>(state >> 16);
    }
    return bytes;
}

// Every name under `folder` with its content, so a case can show that a
// refused run created, changed or removed nothing.
std::map<std::string, std::string> snapshot(const fs::path& folder)
{
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        const fs::path name = fs::relative(entry.path(), folder);
        const fs::file_status status = entry.symlink_status();
        if (fs::is_symlink(status))
            files[name.string()] = "link to " + fs::read_symlink(entry.path()).string();
        else if (fs::is_regular_file(status))
            files[name.string()] = slurp(entry.path());
        else
            files[name.string()] = "kind " + std::to_string(static_cast<int>(status.type()));
    }
    return files;
}

// Where standard output goes.  A pipe is read until its end, which a Windows
// program under wine may hold open in its background services: that leg uses
// a file.
enum class Console { file, pipe, terminal, closed_pipe };

struct Result {
    int status = -1;
    std::string transcript;
};

struct Options {
    Console console = Console::file;
    rlim_t file_size_limit = RLIM_INFINITY;
};

// Runs the program in `folder` with `args`.  The status is the exit status,
// or 128 plus the signal that ended the program.
Result run(const fs::path& folder, const std::vector<std::string>& args, Options options = {})
{
    std::vector<std::string> words = program;
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const fs::path transcript = folder.parent_path() / "transcript";
    int console = -1;
    int reader = -1;
    if (options.console == Console::file) {
        console = open(transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    } else if (options.console == Console::terminal) {
        reader = posix_openpt(O_RDWR | O_NOCTTY);
        if (reader >= 0 && grantpt(reader) == 0 && unlockpt(reader) == 0)
            console = open(ptsname(reader), O_RDWR | O_NOCTTY);
    } else {
        int ends[2];
        if (pipe(ends) == 0) {
            reader = ends[0];
            console = ends[1];
        }
        if (options.console == Console::closed_pipe) {
            close(reader);
            reader = -1;
        }
    }
    if (console < 0) {
        ADD_FAILURE() << "cannot set up standard output: " << std::strerror(errno);
        return {};
    }

    const pid_t child = fork();
    if (child == 0) {
        if (reader >= 0)
            close(reader);
        const int nothing = open("/dev/null", O_RDONLY);
        if (chdir(folder.c_str()) != 0 || dup2(console, 1) < 0 || dup2(nothing, 0) < 0)
            _exit(126);
        if (options.file_size_limit != RLIM_INFINITY) {
            // Past the limit a write fails with EFBIG, as on a full disk,
            // once the signal that would end the process is ignored.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit = {options.file_size_limit, options.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        // A run that hangs (on a FIFO, say) ends here instead of the suite.
        alarm(120);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(console);

    Result result;
    if (reader >= 0) {
        // A terminal whose last writer has gone reads as an error, not as
        // an end: either way the transcript is complete.
        char buffer[4096];
        ssize_t got;
        while ((got = read(reader, buffer, sizeof buffer)) > 0)
            result.transcript.append(buffer, static_cast<std::size_t>(got));
        close(reader);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        ADD_FAILURE() << "cannot run " << words[0];
        return result;
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (options.console == Console::file)
        result.transcript = slurp(transcript);
    return result;
}

class Korrin : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/korrin-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        ASSERT_NE(made, nullptr);
        root = made;
        work = root / "work";
        fs::create_directory(work);
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
    fs::path work;
};

std::string converted(const std::string& length_lines, std::size_t size)
{
    return lines(banner + length_lines + std::string(size, '.') + "\nDone.\n\n");
}

// The format's own three-byte example, against stored files.
TEST_F(Korrin, ThreeByteInputGivesTheStoredTranscriptAndObject)
{
    put(work / "in", data("three.in"));
    const Result result = run(work, {"in", "out"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.transcript, lines(data("three.transcript")));
    EXPECT_EQ(slurp(work / "out"), data("three.hp"));
}

// Words after output_file change nothing.
TEST_F(Korrin, WordsAfterTheOutputAreIgnored)
{
    put(work / "in", data("three.in"));
    const Result result = run(work, {"in", "out", "more", "words"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.transcript, lines(data("three.transcript")));
    EXPECT_EQ(slurp(work / "out"), data("three.hp"));
    EXPECT_FALSE(fs::exists(work / "more"));
}

// A name outside any ANSI code page reaches the file system whole.
TEST_F(Korrin, NamesOutsideTheAnsiCodePageWork)
{
    put(work / "dätä π.bin", data("three.in"));
    const Result result = run(work, {"dätä π.bin", "ωμέγα ünï.hp"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.transcript, lines(data("three.transcript")));
    EXPECT_EQ(slurp(work / "ωμέγα ünï.hp"), data("three.hp"));
}

// Every byte value passes unchanged, at the ends of the size range, and an
// existing output is truncated, never appended to.  Length lines and field
// bytes worked by hand from L = 2S + 5.
TEST_F(Korrin, ConvertsEveryByteUnchanged)
{
    std::string every_value;
    for (int value = 0; value < 256; ++value)
        every_value += static_cast<char>(value);

    const struct {
        const char* name;
        std::string input;
        const char* length_lines;
        std::string field;
    } rows[] = {
        {"empty", "", "00005\n50\n0\n0\n", std::string("\x50\x00\x00", 3)},
        {"every byte value", every_value, "00205\n50\n20\n0\n", std::string("\x50\x20\x00", 3)},
        {"largest", noise(524285), "fffff\nf0\nff\nff\n", std::string("\xf0\xff\xff", 3)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        put(work / "in", row.input);
        put(work / "out", std::string(600000, 'x'));
        const Result result = run(work, {"in", "out"});
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(result.transcript == converted(row.length_lines, row.input.size()))
            << "transcript of " << result.transcript.size() << " bytes";
        EXPECT_TRUE(slurp(work / "out") == "HPHP49-B,*" + row.field + row.input);
    }
}

struct Refusal {
    const char* name;
    std::vector<std::string> args;
    std::string said;  // what follows the banner
    const char* needs;  // what Windows lacks for this case, if anything
    void (*setup)(const fs::path& work);
};

class Refused : public Korrin, public testing::WithParamInterface<Refusal> {};

// Each refusal leaves the folder as it was: no output created, an existing
// one unchanged, the input intact.
TEST_P(Refused, LeavesEveryFileAsItWas)
{
    const Refusal& row = GetParam();
    if (windows && row.needs)
        GTEST_SKIP() << "needs " << row.needs << ", which Windows lacks";
    put(work / "in", "abc");
    put(work / "out", "old");
    if (row.setup)
        row.setup(work);
    const std::map<std::string, std::string> before = snapshot(work);

    const Result result = run(work, row.args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.transcript, lines(banner + row.said));
    EXPECT_EQ(snapshot(work), before);
}

const Refusal refusals[] = {
    {"no_arguments", {}, missing, nullptr, nullptr},
    {"one_argument", {"in"}, missing, nullptr, nullptr},
    {"input_missing", {"none", "out"}, message(opening, "none"), nullptr, nullptr},
    // A directory opens on some systems and then fails every read.
    {"input_is_a_directory", {"folder", "out"}, message(opening, "folder"), nullptr,
     [](const fs::path& work) { fs::create_directory(work / "folder"); }},
    {"input_too_large", {"big", "out"}, message(too_large, "big"), nullptr,
     [](const fs::path& work) { put(work / "big", std::string(524286, 'b')); }},
    {"output_is_the_input", {"in", "in"}, message(is_input, "in"), nullptr, nullptr},
    {"output_is_a_hard_link_to_the_input", {"in", "link"}, message(is_input, "link"), nullptr,
     [](const fs::path& work) { fs::create_hard_link(work / "in", work / "link"); }},
    {"output_folder_missing", {"in", "none/out"}, message(opening, "none/out"), nullptr, nullptr},
    {"output_is_a_symbolic_link_to_the_input", {"in", "link"}, message(is_input, "link"),
     "POSIX symbolic links", [](const fs::path& work) { fs::create_symlink("in", work / "link"); }},
    // Opening a FIFO waits for a writer: the run must refuse it, not hang.
    {"input_is_a_fifo", {"fifo", "out"}, message(opening, "fifo"), "FIFOs",
     [](const fs::path& work) { ASSERT_EQ(mkfifo((work / "fifo").c_str(), 0600), 0); }},
    {"input_is_a_device", {"/dev/zero", "out"}, message(opening, "/dev/zero"), "device files", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Korrin, Refused, testing::ValuesIn(refusals),
                         [](const testing::TestParamInfo<Refusal>& info) { return info.param.name; });

struct Breakdown {
    const char* name;
    std::vector<std::string> args;
    std::string head;  // what follows the banner, before the dots
    std::string tail;  // what follows the dots
    std::size_t input_size;
    rlim_t file_size_limit;  // a limit on every file, the transcript's too
};

class BrokenOff : public Korrin, public testing::WithParamInterface<Breakdown> {};

// A run that fails once the output exists ends the line of dots, says which
// file failed, and leaves no broken object behind.
TEST_P(BrokenOff, LeavesNoBrokenObject)
{
    const Breakdown& row = GetParam();
    if (windows)
        GTEST_SKIP() << "needs Linux devices, /proc and /sys or resource limits, which Windows lacks";
    for (const std::string& arg : row.args)
        if (arg[0] == '/' && !fs::exists(arg))
            GTEST_SKIP() << arg << " is not on this system";
    put(work / "in", noise(row.input_size));
    const std::map<std::string, std::string> before = snapshot(work);

    const Result result = run(work, row.args, {Console::pipe, row.file_size_limit});
    EXPECT_EQ(result.status, 1);
    const std::string& said = result.transcript;
    const std::string head = banner + row.head;
    ASSERT_GE(said.size(), head.size() + row.tail.size()) << said;
    EXPECT_EQ(said.substr(0, head.size()), head);
    EXPECT_EQ(said.substr(said.size() - row.tail.size()), row.tail);
    EXPECT_EQ(said.find_first_not_of('.', head.size()), said.size() - row.tail.size());
    EXPECT_EQ(snapshot(work), before);
}

const Breakdown breakdowns[] = {
    // Every write to /dev/full fails as on a full disk, here only when the
    // output is closed; a device is not removed.
    {"output_device_is_full", {"in", "/dev/full"}, "0000b\nb0\n0\n0\n", "\n" + message(writing, "/dev/full"), 3,
     RLIM_INFINITY},
    // Writes fail in the middle of the copy; the partial object is removed.
    {"output_reaches_the_file_size_limit", {"in", "out"}, "30d45\n50\nd4\n30\n", "\n" + message(writing, "out"),
     100000, 16384},
    // Reading the start of a process's memory fails: nothing is mapped there.
    {"input_read_fails", {"/proc/self/mem", "out"}, "00005\n50\n0\n0\n", "\n" + message(reading, "/proc/self/mem"),
     3, RLIM_INFINITY},
    // /proc reports a size of 0 for files that hold text.
    {"input_longer_than_its_size", {"/proc/self/status", "out"}, "00005\n50\n0\n0\n",
     "\n" + message(changed, "/proc/self/status"), 3, RLIM_INFINITY},
    // /sys reports 4096 bytes for files that hold a few.
    {"input_shorter_than_its_size", {"/sys/devices/system/cpu/online", "out"}, "02005\n50\n0\n2\n",
     "\n" + message(changed, "/sys/devices/system/cpu/online"), 3, RLIM_INFINITY},
};

INSTANTIATE_TEST_SUITE_P(Korrin, BrokenOff, testing::ValuesIn(breakdowns),
                         [](const testing::TestParamInfo<Breakdown>& info) { return info.param.name; });

// The console is a report: with nobody reading it the object is still
// written whole and the run still succeeds.
TEST_F(Korrin, ClosedConsoleDoesNotStopTheConversion)
{
    const std::string input = noise(100000);
    put(work / "in", input);
    const Result result = run(work, {"in", "out"}, {Console::closed_pipe});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(slurp(work / "out") == "HPHP49-B,*" + std::string("\x50\xd4\x30", 3) + input);
}

// On a terminal each print goes out as it ends; the text is the same, with
// the terminal's own CR LF line ends.
TEST_F(Korrin, TerminalGetsTheSameTranscript)
{
    if (windows)
        GTEST_SKIP() << "needs a pseudo-terminal, which Windows lacks";
    put(work / "in", data("three.in"));
    const Result result = run(work, {"in", "out"}, {Console::terminal});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.transcript, crlf(data("three.transcript")));
    EXPECT_EQ(slurp(work / "out"), data("three.hp"));
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    int next = 1;
    if (next < argc && std::strcmp(argv[next], "--windows") == 0) {
        windows = true;
        ++next;
    }
    if (next < argc && std::strcmp(argv[next], "--") == 0)
        ++next;
    program.assign(argv + next, argv + argc);
    if (program.empty()) {
        std::fprintf(stderr, "usage: %s [gtest flags] [--windows] -- command...\n", argv[0]);
        return 2;
    }
    // Each case runs in a folder of its own, so names of files are made absolute.
    for (std::string& word : program)
        if (fs::exists(word))
            word = fs::absolute(word).string();
    return RUN_ALL_TESTS();
}
