#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

bool windows = false;
std::vector<std::string> korrin_command;
std::vector<std::string> unkorrin_command;

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

std::string describe(const fs::path& file)
{
    const fs::file_status status = fs::symlink_status(file);
    if (fs::is_symlink(status))
        return "link to " + fs::read_symlink(file).string() + (fs::exists(file) ? "" : ", dangling");
    if (!fs::is_regular_file(status))
        return "kind " + std::to_string(static_cast<int>(status.type()));
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o ", static_cast<unsigned>(status.permissions()) & 07777u);
    const std::string content = slurp(file);
    // Long content by its size and hash, so that a difference reads easily.
    if (content.size() > 64)
        return mode + std::to_string(content.size()) + " bytes, hash " +
               std::to_string(std::hash<std::string>()(content));
    return mode + content;
}

Snapshot snapshot(const fs::path& folder)
{
    Snapshot files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
        files[entry.path().lexically_relative(folder).string()] = describe(entry.path());
    return files;
}

Snapshot settled_snapshot(const fs::path& folder, const Snapshot& expected)
{
    Snapshot files = snapshot(folder);
    // wine ends a program's Unix process before its server has closed the
    // program's handles, and a file marked for deletion goes only then: the
    // program has ended, as Windows defines it, when that is done too.
    for (int tries = 0; windows && files != expected && tries < 500; ++tries) {
        usleep(20000);
        files = snapshot(folder);
    }
    return files;
}

bool open_to_others(const fs::path& folder)
{
    for (fs::path step = fs::absolute(folder);; step = step.parent_path()) {
        struct stat status;
        if (stat(step.c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0)
            return false;
        if (step == step.parent_path())
            return true;
    }
}

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

namespace {

const std::vector<std::string>* program = nullptr;

}  // namespace

Result run(const fs::path& folder, const std::vector<std::string>& args, Options options)
{
    std::vector<std::string> words = options.program ? *options.program : *program;
    // nobody may not reach the build tree (a clone in /root, say): it runs
    // a copy of the program beside its work folder instead.
    if (options.unprivileged && geteuid() == 0 && !windows) {
        const fs::path copy = folder.parent_path() / "program" / fs::path(words[0]).filename();
        std::error_code ec;
        fs::create_directories(copy.parent_path(), ec);
        fs::copy_file(words[0], copy, fs::copy_options::overwrite_existing, ec);
        if (ec)
            ADD_FAILURE() << "cannot copy " << words[0] << ": " << ec.message();
        words[0] = copy.string();
    }
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const fs::path transcript = folder.parent_path() / "transcript";
    int console = -1;
    int reader = -1;
    if (options.console == Console::none) {
        console = open("/dev/null", O_WRONLY);
    } else if (options.console == Console::file) {
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
        // The program starts with the standard descriptors alone, so that a
        // limit on descriptors means the same in every case.
        for (int fd = options.console == Console::none ? 0 : 3; fd < 1024; ++fd)
            close(fd);
        if (options.unprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(126);
        if (options.file_size_limit != RLIM_INFINITY) {
            // Past the limit a write fails as on a full disk.  korrin
            // ignores the signal that comes with it; wine does not.
            if (windows)
                signal(SIGXFSZ, SIG_IGN);
            const rlimit limit = {options.file_size_limit, options.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        const rlimit memory = {options.memory_limit, options.memory_limit};
        setrlimit(RLIMIT_AS, &memory);
        const rlimit descriptors = {options.descriptor_limit, options.descriptor_limit};
        if (options.descriptor_limit != RLIM_INFINITY)
            setrlimit(RLIMIT_NOFILE, &descriptors);
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
        while ((got = read(reader, buffer, sizeof buffer)) > 0) {
            result.transcript.append(buffer, static_cast<std::size_t>(got));
            if (options.during && result.transcript.find('.') != std::string::npos) {
                options.during(child, folder, *options.expected);
                options.during = nullptr;
            }
        }
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

void expect_transcript(const std::string& got, const std::string& said, const std::string& last)
{
    ASSERT_GE(got.size(), said.size() + last.size()) << got;
    EXPECT_EQ(got.substr(0, said.size()), said);
    EXPECT_EQ(got.substr(got.size() - last.size()), last);
    const std::string between = got.substr(said.size(), got.size() - said.size() - last.size());
    EXPECT_EQ(between.find_first_not_of('.'), std::string::npos) << "only dots between: " << between;
}

void ProgramTest::SetUp()
{
    program = &command;
    const std::string pattern = (fs::temp_directory_path() / "korrin-test-XXXXXX").string();
    std::vector<char> name(pattern.c_str(), pattern.c_str() + pattern.size() + 1);
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    root = name.data();
    work = root / "work";
    ASSERT_TRUE(fs::create_directory(work));
    // Open to a run as nobody: it must be able to make files beside its
    // output, as a user can in a folder of their own.
    fs::permissions(root, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(work, fs::perms::all);
}

void ProgramTest::TearDown()
{
    std::error_code ec;
    fs::permissions(work / "locked", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root);
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::vector<std::string> runner;
    int next = 1;
    for (; next < argc && std::strcmp(argv[next], "--") != 0; ++next) {
        if (std::strcmp(argv[next], "--windows") == 0)
            windows = true;
        else if (std::strcmp(argv[next], "--runner") == 0 && next + 1 < argc)
            runner.push_back(argv[++next]);
    }
    if (argc - next != 3) {
        std::fprintf(stderr, "usage: %s [gtest flags] [--windows] [--runner WORD] -- KORRIN UNKORRIN\n", argv[0]);
        return 2;
    }
    // Each case runs in a folder of its own, so the programs' names are
    // made absolute.
    korrin_command = runner;
    korrin_command.push_back(fs::absolute(argv[next + 1]).string());
    unkorrin_command = runner;
    unkorrin_command.push_back(fs::absolute(argv[next + 2]).string());
    return RUN_ALL_TESTS();
}
