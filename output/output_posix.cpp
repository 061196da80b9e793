// The output's primitives on POSIX systems.  Every step after the output's
// folder is opened works in that folder, by the names the run chose, with
// the *at calls.

#include "output.h"
#include "output_system.h"

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/xattr.h>
#endif

#ifndef O_PATH
// Where a folder cannot be opened for its path alone, it is opened for
// reading, which also asks for permission to list it.
#define O_PATH O_RDONLY
#endif

namespace korrin {

namespace fs = std::filesystem;

namespace {

const Output* watched = nullptr;
sigset_t ending;     // every signal whose handler cleans up
sigset_t before_hold;

int fd_of(handle file)
{
    return static_cast<int>(file);
}

// The signals whose default action ends the process and that can be
// caught.  A broken pipe and a passed file size limit are ignored from the
// start instead, so that they make a write fail.
void fill_ending_signals()
{
    const int standard[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,
                            SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU,   SIGVTALRM, SIGPROF,
                            SIGSYS,  SIGPIPE, SIGXFSZ,
#ifdef SIGSTKFLT
                            SIGSTKFLT,
#endif
#ifdef SIGIO
                            SIGIO,
#endif
#ifdef SIGPWR
                            SIGPWR,
#endif
    };
    sigemptyset(&ending);
    for (const int signal : standard)
        sigaddset(&ending, signal);
#ifdef SIGRTMIN
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        sigaddset(&ending, signal);
#endif
}

// Runs with every ending signal held, so that a second signal waits until
// the cleanup is done.  The default action is put back only then, and the
// signal raised again, still held, ends the process by that signal as the
// handler returns.
extern "C" void end_by_signal(int signal)
{
    // Once the whole object is in place, the run has succeeded.
    if (watched && watched->placed)
        _exit(0);
    if (watched)
        undo(*watched);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    raise(signal);
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#ifdef __linux__
// The name the kernel gives the open file `fd`, which no link in it can
// redirect: false where it gives none, or the file has gone.
bool kernel_name(int fd, fs::path& name)
{
    std::error_code error;
    name = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    return !error && name.is_absolute();
}
#else
bool kernel_name(int, fs::path&)
{
    return false;
}
#endif

bool stop_waiting(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

#ifdef __linux__
// The names of the extended attributes of `fd`, each ended by a zero byte.
bool attribute_names(int fd, std::vector<char>& names)
{
    for (;;) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP;
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
}

bool listed(const std::vector<char>& names, const char* name)
{
    for (std::size_t at = 0; at < names.size(); at += std::char_traits<char>::length(names.data() + at) + 1)
        if (std::char_traits<char>::compare(names.data() + at, name, std::char_traits<char>::length(name) + 1) == 0)
            return true;
    return false;
}

// Gives `to` exactly the extended attributes of `from`: those it holds
// and no others, the ACL (system.posix_acl_access) and the default ACL a
// new file may inherit from its folder among them.
std::error_code copy_attributes(int from, int to)
{
    std::vector<char> names;
    std::vector<char> present;
    if (!attribute_names(from, names) || !attribute_names(to, present))
        return stream_error();
    for (std::size_t at = 0; at < present.size(); at += std::char_traits<char>::length(present.data() + at) + 1)
        if (!listed(names, present.data() + at) && fremovexattr(to, present.data() + at) != 0)
            return stream_error();
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size(); at += std::char_traits<char>::length(names.data() + at) + 1) {
        const char* const name = names.data() + at;
        const ssize_t size = fgetxattr(from, name, nullptr, 0);
        value.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
        const ssize_t got = size < 0 ? -1 : fgetxattr(from, name, value.data(), value.size());
        if (got < 0 || fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0) != 0)
            return stream_error();
    }
    return {};
}
#else
std::error_code copy_attributes(int, int)
{
    return {};
}
#endif

}  // namespace

void guard_signals(Output& pending)
{
    watched = &pending;
    fill_ending_signals();
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction action = {};
        // A run started with the signal ignored (nohup, a background job)
        // keeps ignoring it.
        if (!sigismember(&ending, signal) || sigaction(signal, nullptr, &action) != 0 ||
            action.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = end_by_signal;
        action.sa_flags = 0;
        action.sa_mask = ending;
        sigaction(signal, &action, nullptr);
    }
}

void hold_signals()
{
    sigprocmask(SIG_BLOCK, &ending, &before_hold);
}

void release_signals()
{
    sigprocmask(SIG_SETMASK, &before_hold, nullptr);
}

unsigned long this_process()
{
    return static_cast<unsigned long>(getpid());
}

// Only async-signal-safe calls: this runs in the signal handler.
void undo(const Output& pending)
{
    if (pending.owner != this_process())
        return;
    if (pending.fresh != no_handle)
        static_cast<void>(unlinkat(fd_of(pending.folder), pending.fresh_name.c_str(), 0));
    if (pending.cut && ftruncate(fd_of(pending.old), 0) != 0) {
        // Nothing is left to try: the run has already failed.
    }
}

std::error_code open_existing(const fs::path& output, handle& old)
{
    const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int fd = open(output.c_str(), flags);
    if (fd < 0)
        return errno == ENOENT ? std::error_code() : stream_error();
    struct stat first;
    if (fstat(fd, &first) != 0 || !S_ISREG(first.st_mode)) {
        old = fd;
        return {};
    }
    // Protection of files in shared folders (protected_regular) applies to
    // an open that may create the file, as a plain writer's does: open the
    // same file so once more, and keep that.
    const int again = open(output.c_str(), flags | O_CREAT, 0666);
    const std::error_code error = again < 0 ? stream_error() : std::error_code();
    struct stat second;
    close(fd);
    if (again >= 0 && (fstat(again, &second) != 0 || !same_file(first, second))) {
        // The output went between the two opens, and the second made an
        // empty file in its place: this run's, so it goes again, but only
        // while the name still leads to it.
        struct stat named;
        if (second.st_size == 0 && second.st_uid == geteuid() && stat(output.c_str(), &named) == 0 &&
            same_file(named, second))
            static_cast<void>(unlink(output.c_str()));
        close(again);
        return std::make_error_code(std::errc::resource_unavailable_try_again);
    }
    old = again;
    return error;
}

bool identify(handle file, Identity& identity)
{
    struct stat status;
    if (file == no_handle || fstat(fd_of(file), &status) != 0)
        return false;
    identity.device = status.st_dev;
    identity.file = status.st_ino;
    identity.links = status.st_nlink;
    identity.size = static_cast<std::uint64_t>(status.st_size);
    identity.regular = S_ISREG(status.st_mode);
    identity.special = S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode);
    identity.terminal = 0;
    if (isatty(fd_of(file))) {
        identity.terminal = status.st_rdev;
#ifdef TIOCGDEV
        // /dev/tty and /dev/console stand for another terminal: its number.
        unsigned int device = 0;
        if (ioctl(fd_of(file), TIOCGDEV, &device) == 0)
            identity.terminal = device;
#endif
    }
    return true;
}

bool identify_console(Identity& identity)
{
    return identify(STDOUT_FILENO, identity);
}

handle handle_of(std::FILE* stream)
{
    return stream ? fileno(stream) : no_handle;
}

std::error_code find_folder(const fs::path& output, Output& pending)
{
    fs::path file = output;
    struct stat named;
    if (pending.old != no_handle && lstat(output.c_str(), &named) == 0 && S_ISLNK(named.st_mode) &&
        !kernel_name(fd_of(pending.old), file))
        return {};
    pending.folder_name = file.has_parent_path() ? file.parent_path() : fs::path(".");
    pending.name = file.filename();
    if (pending.name.empty() || pending.name == "." || pending.name == "..")
        return std::make_error_code(std::errc::is_a_directory);
    const int folder = open(pending.folder_name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return stream_error();
    pending.folder = folder;
    // The name must still lead to the file that was opened: one swapped in
    // meanwhile is refused rather than replaced.  A new output's name must
    // still be free: a link there, even one that leads nowhere, is not
    // followed to make a file at its end.
    struct stat opened;
    if (pending.old != no_handle &&
        (fstatat(folder, pending.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
         fstat(fd_of(pending.old), &opened) != 0 || !same_file(named, opened)))
        return std::make_error_code(std::errc::resource_unavailable_try_again);
    if (pending.old == no_handle && fstatat(folder, pending.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0)
        return std::make_error_code(std::errc::file_exists);
    return {};
}

bool can_rename_over(const Output& pending, const Identity* old)
{
    struct stat folder;
    if (fstat(fd_of(pending.folder), &folder) != 0)
        return false;
    // A file mounted over another (a bind mount) lies on a device of its
    // own, and the rename that would replace it fails.
    if (old && folder.st_dev != old->device)
        return false;
#ifdef FS_IOC_GETFLAGS
    // An append-only folder takes a new file, but neither renames nor
    // removes it: one made there would stay for ever.  Reading the flags
    // needs the folder open for reading; one that cannot be is taken as it
    // comes.
    const int listing = openat(fd_of(pending.folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    const bool append_only = listing >= 0 && ioctl(listing, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL);
    if (listing >= 0)
        close(listing);
    if (append_only)
        return false;
#endif
    return true;
}

std::error_code create_output(Output& pending)
{
    hold_signals();
    const int fd = openat(fd_of(pending.folder), pending.name.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    const int error = errno;
    if (fd >= 0)
        pending.old = fd;
    release_signals();
    return fd >= 0 ? std::error_code() : stream_error(error);
}

std::error_code create_beside(Output& pending, bool keep_private)
{
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const fs::path name = new_file_name(pending.name, pending.program);
        hold_signals();
        const int fd = openat(fd_of(pending.folder), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              keep_private ? 0600 : 0666);
        const int error = errno;
        if (fd >= 0) {
            pending.fresh = fd;
            pending.fresh_name = name;
        }
        release_signals();
        if (fd >= 0)
            return {};
        if (error != EEXIST)
            return {error, std::system_category()};
    }
    return std::make_error_code(std::errc::file_exists);
}

// Every error here is an errno value, of whichever category.
bool refuses_replacement(std::error_code error)
{
    const int value = error.value();
    return value == EACCES || value == EPERM || value == EBUSY || value == EXDEV || value == ENOTSUP;
}

std::error_code keep_attributes(const Output& pending)
{
    struct stat old;
    struct stat now;
    const int fresh = fd_of(pending.fresh);
    if (fstat(fd_of(pending.old), &old) != 0 || fstat(fresh, &now) != 0)
        return stream_error();
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && fchown(fresh, old.st_uid, old.st_gid) != 0)
        return stream_error();
    // After the owner: changing the owner clears the set-user-ID bit.  The
    // attributes come last, as the ACL sets the group's bits itself.
    if (fchmod(fresh, old.st_mode & 07777) != 0)
        return stream_error();
    return copy_attributes(fd_of(pending.old), fresh);
}

std::error_code sync(handle file)
{
    return fsync(fd_of(file)) == 0 ? std::error_code() : stream_error();
}

// Renames `from` to `to` in `folder` only while `to` is free.  Where the
// file system cannot rename so, a second link is made instead, which fails
// just the same when the name is taken, and the first link removed.
int rename_to_free_name(int folder, const char* from, const char* to)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return -1;
#endif
    if (linkat(folder, from, folder, to, 0) != 0)
        return -1;
    static_cast<void>(unlinkat(folder, from, 0));
    return 0;
}

std::error_code put_in_place(Output& pending)
{
    const int folder = fd_of(pending.folder);
    hold_signals();
    const int placed = pending.old != no_handle
                           ? renameat(folder, pending.fresh_name.c_str(), folder, pending.name.c_str())
                           : rename_to_free_name(folder, pending.fresh_name.c_str(), pending.name.c_str());
    const int error = errno;
    if (placed == 0) {
        close(fd_of(pending.fresh));
        pending.fresh = no_handle;
        pending.placed = true;
    }
    release_signals();
    return placed == 0 ? std::error_code() : std::error_code(error, std::system_category());
}

std::error_code write_all(handle file, const char* bytes, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t wrote = write(fd_of(file), bytes + done, size - done);
        if (wrote < 0 && errno != EINTR)
            return stream_error();
        done += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
    return {};
}

std::error_code copy_into_old(Output& pending)
{
    const int from = fd_of(pending.fresh);
    if (lseek(from, 0, SEEK_SET) != 0 || lseek(fd_of(pending.old), 0, SEEK_SET) != 0)
        return stream_error();
    char block[1 << 16];
    for (;;) {
        const ssize_t got = read(from, block, sizeof block);
        if (got == 0)
            return {};
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return stream_error();
        if (const std::error_code error = write_all(pending.old, block, static_cast<std::size_t>(got)))
            return error;
    }
}

void remove_fresh(Output& pending)
{
    hold_signals();
    static_cast<void>(unlinkat(fd_of(pending.folder), pending.fresh_name.c_str(), 0));
    close(fd_of(pending.fresh));
    pending.fresh = no_handle;
    release_signals();
}

std::error_code lock(handle file)
{
    while (flock(fd_of(file), LOCK_EX) != 0)
        if (errno != EINTR)
            return stream_error();
    return {};
}

std::error_code cut_to_zero(handle file)
{
    return ftruncate(fd_of(file), 0) == 0 ? std::error_code() : stream_error();
}

std::FILE* stream_over(handle file, handle& stream, std::error_code& error)
{
    const int fd = fcntl(fd_of(file), F_DUPFD_CLOEXEC, 0);
    std::FILE* out = fd >= 0 && stop_waiting(fd) ? fdopen(fd, "wb") : nullptr;
    if (!out) {
        error = stream_error();
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    stream = fd;
    return out;
}

void close_handle(handle& file)
{
    if (file != no_handle)
        close(fd_of(file));
    file = no_handle;
}

}  // namespace korrin
