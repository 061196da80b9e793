#include "output.h"

#include "console.h"
#include "platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef O_PATH
// Where a folder cannot be opened for its path alone, it is opened for
// reading, which also asks for permission to list it.
#define O_PATH O_RDONLY
#endif

namespace korrin {

namespace fs = std::filesystem;

namespace {

// What a signal must undo.  Every change to it is made with the ending
// signals blocked, so the handler always finds it whole, and never while
// the handler runs: nothing in it needs to be volatile.
struct Pending {
    pid_t owner = 0;           // a child of the run never removes its parent's file
    int folder = -1;           // the output's folder, which holds the new file
    char new_name[NAME_MAX + 1] = {};  // the new file's name there, or empty
    int in_place = -1;         // a regular file written in place, to cut to zero
};

Pending pending;
std::string output_name;       // the output's own name in the folder
const char* program_name = "";

// Every signal whose default action ends the process and that can be
// caught: a broken pipe and a passed file size limit are ignored instead.
const int ending_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

sigset_t block_ending_signals()
{
    sigset_t ending;
    sigset_t before;
    sigemptyset(&ending);
    for (const int signal : ending_signals)
        sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &before);
    return before;
}

void restore_signals(const sigset_t& before)
{
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void cut_to_zero(int fd)
{
    if (ftruncate(fd, 0) != 0) {
        // Nothing is left to try: the run has already failed and says so.
    }
}

// Only async-signal-safe calls: this runs in the signal handler.
void undo_pending()
{
    if (pending.owner != getpid())
        return;
    if (pending.new_name[0] != '\0')
        static_cast<void>(unlinkat(pending.folder, pending.new_name, 0));
    if (pending.in_place >= 0)
        cut_to_zero(pending.in_place);
}

// The handler was reset to the default on entry, so the signal raised
// again ends the process by that signal once the handler returns.
extern "C" void end_by_signal(int signal)
{
    undo_pending();
    raise(signal);
}

void out_of_memory()
{
    undo_pending();
    std::fflush(stdout);
    std::_Exit(1);
}

// The file at the end of the symbolic links that `file` may be, in
// `target`; `file` itself when it is no link.  False for a loop of links.
bool resolve_links(const fs::path& file, fs::path& target)
{
    // As many links as Linux follows in one name before it gives up.
    constexpr int most_links = 40;
    target = file;
    for (int links = 0; links <= most_links; ++links) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(target, ec)))
            return true;
        const fs::path next = fs::read_symlink(target, ec);
        if (ec)
            return false;
        // A relative link is read from the folder that holds it.
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return false;
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Why an output of `status` may not be written, or null.
const char* refusal(const struct stat& status, std::FILE* in)
{
    struct stat other;
    // Writing the output would destroy the input before a byte of it is read.
    if (fstat(fileno(in), &other) == 0 && same_file(status, other))
        return is_input;
    // The report would run through the object, whatever standard output is:
    // a file, a pipe reached through /dev/stdout, a terminal.
    if (fstat(STDOUT_FILENO, &other) == 0 && same_file(status, other))
        return is_console;
    return nullptr;
}

// Creates a new file beside the output with `mode` (less the umask), and
// records it for removal in the same step.  Returns its descriptor, or -1.
int create_new_file(int folder, mode_t mode)
{
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const std::string file = new_file_name(output_name, program_name).native();
        const sigset_t before = block_ending_signals();
        const int fd = openat(folder, file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        const int error = errno;
        if (fd >= 0) {
            pending.owner = getpid();
            pending.folder = folder;
            pending.new_name[file.copy(pending.new_name, sizeof pending.new_name - 1)] = '\0';
        }
        restore_signals(before);
        if (fd >= 0 || error != EEXIST)
            return fd;
    }
    return -1;
}

void remove_new_file()
{
    const sigset_t before = block_ending_signals();
    static_cast<void>(unlinkat(pending.folder, pending.new_name, 0));
    pending.new_name[0] = '\0';
    restore_signals(before);
}

// Gives the new file the old output's owner, group and permission bits, so
// that replacing the output changes nothing but its content.  Returns 0, or
// the error that stopped it.
int keep_owner_and_mode(int fd, const struct stat& old)
{
    struct stat now;
    if (fstat(fd, &now) != 0)
        return errno;
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(fd, old.st_uid, old.st_gid) != 0)
        return errno;
    // After the owner: changing the owner clears the set-user-ID bit.
    return fchmod(fd, old.st_mode & 07777) == 0 ? 0 : errno;
}

bool stop_waiting(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// A device, FIFO or terminal has no content to replace: it is written as
// it is.  A FIFO with no reader is refused rather than waited on.
int open_special(const fs::path& output, const std::string& name, std::FILE*& out)
{
    const int fd = open(output.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status;
    // Were it a regular file by now, it was swapped since it was looked at:
    // writing it in place without cutting it would leave a mix.
    if (fd >= 0 && fstat(fd, &status) == 0 && !S_ISREG(status.st_mode) && stop_waiting(fd))
        out = fdopen(fd, "wb");
    if (!out) {
        if (fd >= 0)
            close(fd);
        return fail(opening_failed, name);
    }
    return 0;
}

// Forgets the second handle on a file written in place, cutting the file
// to zero length first when the write failed.
void release_in_place(bool cut)
{
    const sigset_t before = block_ending_signals();
    if (cut)
        cut_to_zero(pending.in_place);
    close(pending.in_place);
    pending.in_place = -1;
    restore_signals(before);
}

// Writes an existing regular file in place, cut to zero length first.  A
// second handle on the same open file stays with the run, so that a failure
// or a signal can cut it to zero again after its stream is gone.
int open_in_place(int fd, const std::string& name, std::FILE*& out)
{
    if (stop_waiting(fd)) {
        const sigset_t before = block_ending_signals();
        pending.owner = getpid();
        pending.in_place = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        restore_signals(before);
    }
    if (pending.in_place >= 0 && ftruncate(fd, 0) == 0)
        out = fdopen(fd, "wb");
    if (!out) {
        close(fd);
        if (pending.in_place >= 0)
            release_in_place(false);
        return fail(opening_failed, name);
    }
    return 0;
}

}  // namespace

void guard_output(const char* program)
{
    program_name = program;
    for (const int signal : ending_signals) {
        struct sigaction action = {};
        // A run started with the signal ignored (nohup, a background job)
        // keeps ignoring it.
        if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = end_by_signal;
        action.sa_flags = static_cast<int>(SA_RESETHAND);
        sigemptyset(&action.sa_mask);
        for (const int other : ending_signals)
            sigaddset(&action.sa_mask, other);
        sigaction(signal, &action, nullptr);
    }
    std::set_new_handler(out_of_memory);
}

int open_output(const fs::path& output, std::FILE* in, const std::string& name, std::FILE*& out)
{
    out = nullptr;
    struct stat named;
    const bool exists = stat(output.c_str(), &named) == 0;
    if (const char* const why = exists ? refusal(named, in) : nullptr)
        return fail(why, name);
    if (exists && !S_ISREG(named.st_mode))
        return open_special(output, name, out);

    // A symbolic link stays, and the file it leads to is replaced: the new
    // file is made in that file's folder, which is opened once, here, and
    // every later step works in it by the names the run chose.
    fs::path target;
    if (!resolve_links(output, target))
        return fail(opening_failed, name);
    const fs::path folder_name = target.has_parent_path() ? target.parent_path() : fs::path(".");
    output_name = target.filename().native();
    if (output_name.empty() || output_name == "." || output_name == "..")
        return fail(opening_failed, name);
    const int folder = open(folder_name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return fail(opening_failed, name);

    // An output the user may not write is refused, exactly as opening it
    // for writing would refuse it: a rename must not get around that.  The
    // checks above are made again on what was opened, in case the name
    // changed hands meanwhile.
    const int old = openat(folder, output_name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat old_status;
    const char* why = old < 0 && errno != ENOENT ? opening_failed : nullptr;
    if (old >= 0 && (fstat(old, &old_status) != 0 || !S_ISREG(old_status.st_mode)))
        why = opening_failed;
    else if (old >= 0)
        why = refusal(old_status, in);

    // Another name for the same file would keep the old content.  Until its
    // owner and mode are set, the new file is the user's alone.
    const bool replace = !why && (old < 0 || old_status.st_nlink == 1);
    int fd = replace ? create_new_file(folder, old < 0 ? 0666 : 0600) : -1;
    int error = fd < 0 ? errno : 0;
    if (fd >= 0 && old >= 0 && (error = keep_owner_and_mode(fd, old_status)) != 0) {
        close(fd);
        remove_new_file();
        fd = -1;
    }
    // Only a folder that allows no new file, or an owner that cannot be
    // given, sends the object in place.  Any other failure to make the new
    // file (no descriptor left, a full disk) refuses the run before the old
    // output is touched.
    const bool in_place = !why && old >= 0 && fd < 0 && (!replace || error == EACCES || error == EPERM);
    if (fd < 0 && !in_place && !why)
        why = opening_failed;
    if (why || in_place)
        close(folder);
    if (why) {
        if (old >= 0)
            close(old);
        return fail(why, name);
    }
    if (in_place)
        return open_in_place(old, name, out);
    if (old >= 0)
        close(old);
    out = fdopen(fd, "wb");
    if (!out) {
        close(fd);
        discard_output(nullptr);
        return fail(opening_failed, name);
    }
    return 0;
}

bool finish_output(std::FILE* out)
{
    const bool closed = std::fclose(out) == 0;
    if (pending.in_place >= 0) {
        release_in_place(!closed);
        return closed;
    }
    if (pending.new_name[0] == '\0')
        return closed;

    const sigset_t before = block_ending_signals();
    const bool placed =
        closed && renameat(pending.folder, pending.new_name, pending.folder, output_name.c_str()) == 0;
    if (!placed)
        static_cast<void>(unlinkat(pending.folder, pending.new_name, 0));
    pending.new_name[0] = '\0';
    restore_signals(before);
    close(pending.folder);
    pending.folder = -1;
    return placed;
}

void discard_output(std::FILE* out)
{
    // The bytes still in the stream's buffer may reach the file as it
    // closes; the file is cut or removed after that.
    if (out)
        static_cast<void>(std::fclose(out));
    if (pending.in_place >= 0)
        release_in_place(true);
    if (pending.new_name[0] != '\0') {
        remove_new_file();
        close(pending.folder);
        pending.folder = -1;
    }
}

}  // namespace korrin
