#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <regex>

bool windows = false;
constexpr uid_t nobody = 65534;
const std::string korrin_banner = "Korrin\nVersion 1.0  12-jul-2001\n\n  Usage:  korrin input_file output_file\n\n";
const std::string unkorrin_banner = "Unkorrin\nVersion 1.0\n\n  Usage:  unkorrin object_file [output_file]\n\n";
std::vector<std::string> programs[2];
std::vector<std::string>& korrin_command = programs[0];
std::vector<std::string>& unkorrin_command = programs[1];
std::string explorer_launcher;

static std::string crlf(const std::string& text)
{
    return std::regex_replace(text, std::regex("\n"), "\r\n");
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

std::string error(const std::string& text)
{
    return "  *** Error: " + text + "\n\n";
}

std::string every_value()
{
    std::string bytes(256, '\0');
    std::iota(bytes.begin(), bytes.end(), '\0');
    return bytes;
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

static std::string content(const std::string& bytes)
{
    // Long content by its size and hash, so that a difference reads easily.
    if (bytes.size() > 64)
        return "| " + std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes));
    return "| " + bytes;
}

namespace {

// Every extended attribute, the ACL among them, by name and value.
std::string attributes(const fs::path& file)
{
    char names[4096];
    const ssize_t size = llistxattr(file.c_str(), names, sizeof names);
    std::string listed;
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        char value[4096];
        const ssize_t got = lgetxattr(file.c_str(), names + at, value, sizeof value);
        listed += std::string(names + at) + "=" + std::string(value, static_cast<std::size_t>(got > 0 ? got : 0)) + " ";
    }
    return listed;
}

}  // namespace

std::string describe(const fs::path& file)
{
    const fs::file_status status = fs::symlink_status(file);
    std::error_code unreachable;
    if (fs::is_symlink(status))
        return "link to " + fs::read_symlink(file).string() + (fs::exists(file, unreachable) ? "" : ", dangling");
    if (!fs::is_regular_file(status))
        return "kind " + std::to_string(static_cast<int>(status.type()));
    struct stat owner;
    lstat(file.c_str(), &owner);
    char head[64];
    std::snprintf(head, sizeof head, "%04o %u:%u ", owner.st_mode & 07777u, owner.st_uid, owner.st_gid);
    return head + attributes(file) + content(slurp(file));
}


namespace {

Snapshot snapshot(const fs::path& folder)
{
    Snapshot files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
        files[entry.path().lexically_relative(folder).string()] = describe(entry.path());
    return files;
}

// The snapshot once the program's files have settled: wine ends a
// program's Unix process before its server has closed the program's
// handles, and a file marked for deletion goes only then.  So under wine
// the folder is read again, for a few seconds at most, until it is
// `expected`.
Snapshot settled_snapshot(const fs::path& folder, const Snapshot& expected)
{
    Snapshot files = snapshot(folder);
    for (int tries = 0; windows && files != expected && tries < 500; ++tries) {
        usleep(20000);
        files = snapshot(folder);
    }
    return files;
}

// Whether a user other than the owner can reach `folder`: every folder on
// its way lets others pass.
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

// Runs `command` in `folder` with a shell; whether it succeeded.
bool shell(const fs::path& folder, const std::string& command)
{
    return std::system(("cd '" + folder.string() + "' && (" + command + ") 2>/dev/null").c_str()) == 0;
}

// Where standard output goes, and the end the test reads, if any.
bool open_console(Console console, const fs::path& transcript, int& writer, int& reader)
{
    if (console == Console::none) {
        writer = open("/dev/null", O_WRONLY);
    } else if (console == Console::file) {
        writer = open(transcript.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    } else if (console == Console::terminal) {
        reader = posix_openpt(O_RDWR | O_NOCTTY);
        if (reader >= 0 && grantpt(reader) == 0 && unlockpt(reader) == 0)
            writer = open(ptsname(reader), O_RDWR | O_NOCTTY);
    } else {
        int ends[2];
        if (pipe(ends) == 0) {
            reader = ends[0];
            writer = ends[1];
        }
        if (console == Console::closed_pipe) {
            close(reader);
            reader = -1;
        }
    }
    return writer >= 0;
}

// In the child, before the program starts.
void become_program(const fs::path& folder, const Options& options, int console, int errors)
{
    // Standard input is the row's file "stdin", where it made one.
    int nothing = open((folder / "stdin").c_str(), O_RDONLY);
    if (nothing < 0)
        nothing = open("/dev/null", O_RDONLY);
    if (chdir(folder.c_str()) != 0 || dup2(console, 1) < 0 || dup2(nothing, 0) < 0 || dup2(errors, 2) < 0)
        _exit(126);
    // The program starts with the standard descriptors alone, so that a
    // limit on descriptors means the same in every row.
    for (int fd = options.console == Console::none ? 0 : 3; fd < 1024; ++fd)
        close(fd);
    // A terminal that shows the transcript is the session's own, /dev/tty.
    if (options.console == Console::terminal && (setsid() < 0 || ioctl(1, TIOCSCTTY, 0) != 0))
        _exit(126);
    if (options.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
        _exit(126);
    // Past a file size limit a write fails as on a full disk.  korrin
    // ignores the signal that comes with it; wine does not.
    if (windows)
        signal(SIGXFSZ, SIG_IGN);
    // A run that hangs (on a FIFO, say) ends here instead of the suite.
    alarm(120);
}

}  // namespace

Result run(const fs::path& folder, const std::vector<std::string>& args, const Options& options,
           const During& during, Snapshot* expected)
{
    std::vector<std::string> words = *options.program;
    // nobody may not reach the build tree (a clone in /root, say): it runs
    // a copy of the program beside its work folder instead.
    if (options.unprivileged && geteuid() == 0 && !windows) {
        EXPECT_TRUE(shell(folder.parent_path(), "mkdir -p program && cp '" + words[0] + "' program/"));
        words[0] = (folder.parent_path() / "program" / fs::path(words[0]).filename()).string();
    }
    if (!options.dropped.empty()) {
        words[1] = (fs::path(words[1]).parent_path() / options.dropped).string();
        words.insert(words.begin() + 1, explorer_launcher);
    }
    words.insert(words.end(), args.begin(), args.end());
    words.insert(words.begin(), options.under.begin(), options.under.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const fs::path transcript = folder.parent_path() / "transcript";
    const fs::path errors = folder.parent_path() / "errors";
    int console = -1;
    int reader = -1;
    const int error_file = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!open_console(options.console, transcript, console, reader) || error_file < 0) {
        ADD_FAILURE() << "cannot set up the console: " << std::strerror(errno);
        return {};
    }

    const pid_t child = fork();
    if (child == 0) {
        if (reader >= 0)
            close(reader);
        become_program(folder, options, console, error_file);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(console);
    close(error_file);

    Result result;
    bool called = false;
    if (reader >= 0) {
        // A terminal whose last writer has gone reads as an error, not as
        // an end: either way the transcript is complete.
        char buffer[4096];
        ssize_t got;
        while ((got = read(reader, buffer, sizeof buffer)) > 0) {
            result.transcript.append(buffer, static_cast<std::size_t>(got));
            if (during && !called && result.transcript.find('.') != std::string::npos) {
                called = true;
                during(child, folder, *expected);
            }
        }
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
    result.errors = slurp(errors);
    if (during && !called)
        ADD_FAILURE() << "the run ended before it could be changed during its copy";
    return result;
}


Row refusal(const std::vector<std::string>& program, const char* name, std::vector<std::string> args,
            std::string said, std::string reason)
{
    Row row;
    row.name = name;
    row.options.program = &program;
    row.args = std::move(args);
    row.input = "abc";
    row.said = std::move(said);
    row.reason = std::move(reason);
    return row;
}

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

namespace {

bool put_file(const fs::path& file, const std::string& bytes, mode_t mode)
{
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    bool written = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    written = fd >= 0 && fchmod(fd, mode) == 0 && written;
    return (fd < 0 || close(fd) == 0) && written;
}

// The files every row starts from, in `folder`: made by the calls
// themselves, with no shell or program to start for each row.
bool make_prepared_files(const fs::path& folder)
{
    const fs::path locked = folder / "locked";
    return put_file(folder / "out", "old", 0644) && put_file(folder / "big", std::string(524286, 'b'), 0644) &&
           mkdir((folder / "folder").c_str(), 0755) == 0 && mkdir(locked.c_str(), 0755) == 0 &&
           symlink("in", (folder / "soft").c_str()) == 0 &&
           symlink("new", (folder / "soft_new").c_str()) == 0 && symlink("out", (folder / "soft_out").c_str()) == 0 &&
           mkfifo((folder / "fifo").c_str(), 0600) == 0 &&
           put_file(folder / "linked", "old", 0644) &&
           link((folder / "linked").c_str(), (folder / "linked_twin").c_str()) == 0 &&
           put_file(folder / "read_only", "old", 0444) && put_file(folder / "shared", "old", 0666) &&
           put_file(locked / "obj", "old", 0644) &&
           (geteuid() != 0 || chown((locked / "obj").c_str(), nobody, nobody) == 0) && chmod(locked.c_str(), 0555) == 0;
}

}  // namespace

void Rows::SetUp()
{
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
    ASSERT_TRUE(make_prepared_files(work)) << std::strerror(errno);
}

void Rows::TearDown()
{
    // What some rows mount or lock must be undone before the folder can go.
    if (geteuid() == 0 && (fs::exists(work / "mounted") || fs::exists(work / "append")) &&
        !shell(work, "umount mounted; chattr -a append; true")) {
        // Nothing was mounted, or no folder made append-only.
    }
    std::error_code ec;
    fs::permissions(work / "locked", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root, ec);
}

void Rows::check(const Row& row)
{
    if (windows && row.not_on_windows)
        GTEST_SKIP() << "not on Windows: " << row.not_on_windows;
    if (row.options.unprivileged && geteuid() == 0 && !open_to_others(work))
        GTEST_SKIP() << "nobody cannot reach " << work << ": give TMPDIR a folder open to all";
    put(work / "in", row.input);
    fs::create_hard_link(work / "in", work / "hard");
    if (!row.prepare.empty() && !shell(work, row.prepare))
        GTEST_SKIP() << row.skip;
    Snapshot expected = snapshot(work);
    for (const auto& [name, described] : row.changes) {
        if (described.empty())
            expected.erase(name);
        else
            expected[name] = described;
    }
    for (const auto& [name, bytes] : row.objects) {
        const auto old = expected.find(name);
        const std::string kept =
            old == expected.end() ? "0644 " + std::to_string(geteuid()) + ":" + std::to_string(getegid()) + " "
                                  : old->second.substr(0, old->second.find("| "));
        expected[name] = kept + content(bytes);
    }

    const Result result = run(work, row.args, row.options, row.during, &expected);

    // Ctrl-C ends a Windows program with STATUS_CONTROL_C_EXIT, of which
    // wine passes on the low byte.
    EXPECT_EQ(result.status, windows && row.status > 128 ? 0x3a : row.status);
    EXPECT_EQ(settled_snapshot(work, expected), expected);
    const bool korrin = row.options.program == &korrin_command;
    const std::string prefix = korrin ? "korrin: " : "unkorrin: ";
    // Windows gives the reason in its own words, and the name in the ANSI
    // code page.
    if (row.reason.empty())
        EXPECT_EQ(result.errors, "");
    else if (windows)
        EXPECT_EQ(result.errors.substr(0, prefix.size()), prefix);
    else
        EXPECT_EQ(result.errors, prefix + row.reason + "\n");

    // Nobody reads a closed console.
    if (row.options.console == Console::closed_pipe || row.options.console == Console::none)
        return;
    const std::string& banner = korrin ? korrin_banner : unkorrin_banner;
    std::string said = (row.banner ? banner : "") + (windows && !row.windows_said.empty() ? row.windows_said
                                                                                          : row.said);
    std::string last = row.last;
    if (windows || row.options.console == Console::terminal) {
        said = crlf(said);
        last = crlf(last);
    }
    const std::string& got = result.transcript;
    if (row.opening_only) {
        EXPECT_EQ(got.substr(0, said.size()), said);
        return;
    }
    ASSERT_GE(got.size(), said.size() + last.size()) << got;
    EXPECT_EQ(got.substr(0, said.size()), said);
    EXPECT_EQ(got.substr(got.size() - last.size()), last);
    const std::string between = got.substr(said.size(), got.size() - said.size() - last.size());
    EXPECT_EQ(between.find_first_not_of('.'), std::string::npos) << "only dots between: " << between;
    if (row.dots >= 0) {
        EXPECT_EQ(between.size(), static_cast<std::size_t>(row.dots));
    }
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // New files of the tests' user and of the programs are 0644.
    umask(022);
    if (!programs_under_test(argc, argv, windows, programs))
        return 2;
    explorer_launcher = (fs::path(korrin_command.back()).parent_path() / "launcher" / "explorer.exe").string();
    return RUN_ALL_TESTS();
}
