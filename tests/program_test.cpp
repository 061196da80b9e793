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
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
    EXPECT_TRUE(out.flush()) << file;
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
            files[name.string()] = "link to " + fs::read_symlink(entry.path()).string() +
                                   (fs::exists(entry.path()) ? "" : ", dangling");
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
    long writes = -1;  // write calls the program made, where Linux counts them
};

long write_calls(pid_t process)
{
    std::ifstream io("/proc/" + std::to_string(process) + "/io");
    std::string word;
    long count = -1;
    while (io >> word)
        if (word == "syscw:")
            io >> count;
    return count;
}

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
            // Past the limit a write fails as on a full disk.  korrin
            // ignores the signal that comes with it; wine does not.
            if (windows)
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
    // The finished program stays unreaped a moment, so that its count of
    // write calls can still be read.
    siginfo_t finished;
    if (child > 0 && waitid(P_PID, static_cast<id_t>(child), &finished, WEXITED | WNOWAIT) == 0)
        result.writes = write_calls(child);
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

std::string error(const std::string& text)
{
    return "  *** Error: " + text + "\n\n";
}

class Korrin : public testing::Test {
protected:
    void SetUp() override
    {
        const std::string pattern = (fs::temp_directory_path() / "korrin-test-XXXXXX").string();
        std::vector<char> name(pattern.c_str(), pattern.c_str() + pattern.size() + 1);
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        root = name.data();
        work = root / "work";
        ASSERT_TRUE(fs::create_directory(work));
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
    fs::path work;
};

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
        put(work / row.args[1], std::string(600000, 'x'));
        const Result result = run(work, row.args);
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(result.transcript == lines(row.transcript)) << result.transcript.substr(0, 200);
        EXPECT_TRUE(slurp(work / row.args[1]) == row.object);
        EXPECT_EQ(snapshot(work).size(), 2u);
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
};

class Fails : public Korrin, public testing::WithParamInterface<Failure> {};

// A failed run leaves the folder as it was: a refusal creates and changes
// nothing, and a copy that fails removes its broken object.
TEST_P(Fails, LeavesEveryFileAsItWas)
{
    const Failure& row = GetParam();
    if (windows && row.not_on_windows)
        GTEST_SKIP() << "not on Windows: " << row.not_on_windows;
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
    // A full disk of our own: a node for the device that fails every write,
    // so a run that wrongly removed it would remove nothing of the system's.
    if (std::find(row.args.begin(), row.args.end(), "full") != row.args.end() &&
        mknod((work / "full").c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0)
        GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
    const std::map<std::string, std::string> before = snapshot(work);

    const Result result = run(work, row.args, {row.file_size_limit == RLIM_INFINITY ? Console::file : Console::pipe,
                                               row.file_size_limit});
    EXPECT_EQ(result.status, 1);
    const std::string said = lines(banner + (windows && !row.windows_said.empty() ? row.windows_said : row.said));
    const std::string last = lines(row.last);
    const std::string& got = result.transcript;
    ASSERT_GE(got.size(), said.size() + last.size()) << got;
    EXPECT_EQ(got.substr(0, said.size()), said);
    EXPECT_EQ(got.substr(got.size() - last.size()), last);
    const std::string between = got.substr(said.size(), got.size() - said.size() - last.size());
    EXPECT_EQ(between.find_first_not_of('.'), std::string::npos) << "only dots between: " << between;
    EXPECT_EQ(snapshot(work), before);
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
    // Writes fail in the middle of the copy.
    {"output_reaches_the_file_size_limit", {"in", "new"}, "30d45\n50\nd4\n30\n",
     "\n" + error("Problem writing file <new>."), nullptr, 100000, 16384},
    // The broken object is removed where the link led, the link left.
    {"output_link_reaches_the_file_size_limit", {"in", "soft_new"}, "30d45\n50\nd4\n30\n",
     "\n" + error("Problem writing file <soft_new>."), nullptr, 100000, 16384},
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

// The console is a report: with nobody reading it the object is still
// written whole and the run still succeeds.
TEST_F(Korrin, ClosedConsoleDoesNotStopTheConversion)
{
    const Conversion expected = converted(noise(100000), "30d45\n50\nd4\n30\n", "\x50\xd4\x30");
    put(work / "in", expected.input);
    const Result result = run(work, {"in", "out"}, {Console::closed_pipe});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(slurp(work / "out") == expected.object);
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
