// The output's primitives on Windows.  Every name reaches the system in its
// full long form ("\\?\C:\..."), so that no path length limits a run, and
// the console's control handler cleans up through the run's own handles
// alone.

#include "output.h"
#include "output_system.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <aclapi.h>

namespace korrin {

namespace fs = std::filesystem;

namespace {

// What the control handler works from.  It stops the main thread first,
// which may hold the heap's lock, so it allocates nothing.  It takes `held`
// before that, and the run changes what the handler relies on (the new
// file, whether the old one is cut) only while it holds `held` itself, so
// the handler always finds the run's state whole.
CRITICAL_SECTION held;
HANDLE main_thread = nullptr;
const Output* watched = nullptr;

// Other programs may go on reading, writing, renaming or removing the old
// output while the run holds it, as they could before it began.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE win(handle file)
{
    return reinterpret_cast<HANDLE>(file);
}

handle ours(HANDLE file)
{
    return reinterpret_cast<handle>(file);
}

std::error_code system_error(DWORD code)
{
    return {static_cast<int>(code), std::system_category()};
}

std::error_code last_error()
{
    return system_error(GetLastError());
}

// `name` in the form that takes a name past MAX_PATH: absolute, with "\\?\"
// before a drive and "\\?\UNC\" before a share.  A device's name (NUL,
// COM1) comes back from the system as "\\.\NUL", and stays so.
fs::path long_name(const fs::path& name)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size())
        return name;
    full.resize(length);
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0)
        return full;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The name of the file `file` is open on, at the end of any symbolic links
// and junctions, already in the long form; or empty.
fs::path final_name(HANDLE file)
{
    constexpr DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    std::wstring name(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), flags);
    if (length >= name.size()) {
        name.resize(length);
        length = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()), flags);
    }
    if (length == 0 || length >= name.size())
        return {};
    name.resize(length);
    return name;
}

// Marks the new file to go when its last handle closes.  Through a handle,
// as a name would have to be converted, in memory, before the system could
// use it.
bool mark_for_removal(HANDLE file)
{
    FILE_DISPOSITION_INFO removal = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &removal, sizeof removal) != 0;
}

bool cut(HANDLE file)
{
    const LARGE_INTEGER start = {};
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

BOOL WINAPI end_by_control(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    // The handler runs in a thread of its own, which the system starts for
    // it: the main thread would go on writing the object meanwhile.  It is
    // stopped, for certain only once its registers can be read, and never
    // let go again: the lock stays held until the process is gone.
    EnterCriticalSection(&held);
    SuspendThread(main_thread);
    // Once the whole object is in place, the run has succeeded.
    if (watched->placed)
        TerminateProcess(GetCurrentProcess(), 0);
    CONTEXT registers = {};
    registers.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(main_thread, &registers);
    undo(*watched);
    // A file marked for removal goes when its last handle closes.  Closed
    // here, the new file is gone before the process ends; left to the end
    // of the process, it would outlive it for a moment under wine, where the
    // server closes a program's handles only after its process has ended.
    if (watched->stream != no_handle)
        CloseHandle(win(watched->stream));
    if (watched->fresh != no_handle)
        CloseHandle(win(watched->fresh));
    // The exit status the console's own handler gives, without the C
    // library's flush of its stream buffers: they hold bytes of a broken
    // object.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

}  // namespace

void guard_signals(Output& pending)
{
    InitializeCriticalSection(&held);
    // GetCurrentThread gives a name that means whichever thread uses it:
    // the handler needs one that means the main thread from its own.
    const HANDLE process = GetCurrentProcess();
    DuplicateHandle(process, GetCurrentThread(), process, &main_thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    watched = &pending;
    SetConsoleCtrlHandler(end_by_control, TRUE);
}

void hold_signals()
{
    EnterCriticalSection(&held);
}

void release_signals()
{
    LeaveCriticalSection(&held);
}

unsigned long this_process()
{
    return GetCurrentProcessId();
}

// Allocation-free: in the control handler the main thread is stopped,
// perhaps in the middle of an allocation, with the heap locked.
void undo(const Output& pending)
{
    if (pending.owner != this_process())
        return;
    if (pending.fresh != no_handle)
        mark_for_removal(win(pending.fresh));
    if (pending.cut && !cut(win(pending.old))) {
        // Nothing is left to try: the run has already failed.
    }
}

std::error_code open_existing(const fs::path& output, handle& old)
{
    // Opened for writing as any program would open it, so that Windows
    // itself decides: a read-only file, a denying ACL, a file another
    // program holds without sharing it for writing, a folder are refused
    // here, before anything is made.  A device (NUL, a serial port) and a
    // pipe open at once, without waiting for a reader.
    const HANDLE file = CreateFileW(long_name(output).c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        old = ours(file);
        // A console (CON, CONOUT$) tells that it is one only to a handle
        // that may also read it.  CON gives a writer the console's output
        // but refuses such a handle: that output is CONOUT$, with or
        // without an extension after CON, as Windows reads the name.
        if (GetFileType(file) == FILE_TYPE_CHAR) {
            const bool con = _wcsicmp(output.filename().stem().c_str(), L"CON") == 0;
            const HANDLE both = CreateFileW(con ? L"CONOUT$" : long_name(output).c_str(), GENERIC_READ | GENERIC_WRITE,
                                            share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD mode = 0;
            if (both != INVALID_HANDLE_VALUE && GetConsoleMode(both, &mode)) {
                CloseHandle(file);
                old = ours(both);
            } else if (both != INVALID_HANDLE_VALUE) {
                CloseHandle(both);
            }
        }
        return {};
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? std::error_code() : system_error(error);
}

bool identify(handle file, Identity& identity)
{
    const HANDLE opened = win(file);
    if (file == no_handle || opened == nullptr)
        return false;
    const DWORD type = GetFileType(opened);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return false;
    identity.terminal = 0;
    if (type != FILE_TYPE_DISK) {
        // A console, a device or a pipe has no number on a volume.  Each
        // handle stands for a file of its own, on no volume there is
        // (volume serial numbers have 32 bits), so that none is ever taken
        // for the input or for standard output: it is written as it is.
        identity.device = std::uint64_t{1} << 32 | type;
        identity.file = static_cast<std::uint64_t>(file);
        identity.links = 1;
        identity.regular = false;
        identity.special = type == FILE_TYPE_CHAR;
        // Every console handle of the process shows the one console window,
        // as /dev/tty does a terminal.
        DWORD mode = 0;
        if (type == FILE_TYPE_CHAR && GetConsoleMode(opened, &mode))
            identity.terminal = 1;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(opened, &info))
        return false;
    identity.device = info.dwVolumeSerialNumber;
    identity.file = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    identity.links = info.nNumberOfLinks;
    identity.size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    identity.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return true;
}

bool identify_console(Identity& identity)
{
    // The handle the transcript is written through, which prepare_run has
    // put on the null device if the run started without one.
    return identify(handle_of(stdout), identity);
}

handle handle_of(std::FILE* stream)
{
    const int fd = stream ? _fileno(stream) : -1;
    // -2 marks a descriptor with no handle behind it.
    const intptr_t file = fd >= 0 ? _get_osfhandle(fd) : no_handle;
    return file == -2 ? no_handle : file;
}

std::error_code find_folder(const fs::path& output, Output& pending)
{
    // An existing output is named by the handle the run holds on it: the
    // name leads to that file and no other, and a symbolic link or junction
    // stays while the file it leads to is replaced, in its own folder.  A
    // new output is made under the name given.
    fs::path full = pending.old != no_handle ? final_name(win(pending.old)) : long_name(output);
    // Where the system cannot name the open file (wine names none past
    // MAX_PATH, and some network file systems none at all), the name given
    // serves, as long as it is that file itself and no link to it.
    if (full.empty()) {
        const DWORD error = GetLastError();
        full = long_name(output);
        const HANDLE named = CreateFileW(full.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        Identity by_name;
        Identity opened;
        const bool same = named != INVALID_HANDLE_VALUE && identify(ours(named), by_name) &&
                          identify(pending.old, opened) && by_name.device == opened.device &&
                          by_name.file == opened.file;
        if (named != INVALID_HANDLE_VALUE)
            CloseHandle(named);
        if (!same)
            return system_error(error);
    }
    pending.folder_name = full.parent_path();
    pending.name = full.filename();
    if (pending.name.empty() || pending.name == "." || pending.name == "..")
        return std::make_error_code(std::errc::is_a_directory);
    return {};
}

bool can_rename_over(const Output&, const Identity*)
{
    // Windows has no append-only folder and no file mounted on its own; what
    // keeps an output from being replaced shows only when ReplaceFileW
    // refuses, and put_in_place reports it then.
    return true;
}

std::error_code create_output(Output& pending)
{
    hold_signals();
    const HANDLE created = CreateFileW((pending.folder_name / pending.name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = created == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
    if (error == NO_ERROR)
        pending.old = ours(created);
    release_signals();
    return system_error(error);
}

std::error_code create_beside(Output& pending, bool)
{
    // The new file needs no protection of its own while it is written: it
    // holds the new object only, and ReplaceFileW gives it the old output's
    // ACL as it takes the output's place.
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
        const fs::path name = new_file_name(pending.name, pending.program);
        const fs::path file = pending.folder_name / name;
        hold_signals();
        // DELETE, so that the handle alone can remove the file, as the
        // control handler must.  Others may read the file, and remove it,
        // but write no byte into it.
        const HANDLE created = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
        error = created == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
        if (error == NO_ERROR) {
            pending.fresh = ours(created);
            pending.fresh_name = name;
        }
        release_signals();
    }
    return system_error(error);
}

bool refuses_replacement(std::error_code error)
{
    if (error.category() != std::system_category())
        return false;
    switch (error.value()) {
    case ERROR_ACCESS_DENIED:             // a folder that takes no new file, an ACL that cannot be kept
    case ERROR_SHARING_VIOLATION:         // the output held open by a program that forbids its removal
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_LOCK_VIOLATION:
        return true;
    default:
        return false;
    }
}

std::error_code keep_attributes(const Output& pending)
{
    // ReplaceFileW keeps the old output's attributes, ACL, streams and
    // creation time, but not its owner: the new file stays its maker's.
    // An output of another owner is written in place instead, as on POSIX
    // systems where the owner cannot be given.  A file system that keeps no
    // owners (FAT) has none to lose.
    PSID old_owner = nullptr;
    PSID new_owner = nullptr;
    PSECURITY_DESCRIPTOR old_security = nullptr;
    PSECURITY_DESCRIPTOR new_security = nullptr;
    const bool known = GetSecurityInfo(win(pending.old), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &old_owner,
                                       nullptr, nullptr, nullptr, &old_security) == ERROR_SUCCESS &&
                       GetSecurityInfo(win(pending.fresh), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &new_owner,
                                       nullptr, nullptr, nullptr, &new_security) == ERROR_SUCCESS;
    const bool other_owner = known && old_owner && new_owner && !EqualSid(old_owner, new_owner);
    LocalFree(old_security);
    LocalFree(new_security);
    return other_owner ? system_error(ERROR_ACCESS_DENIED) : std::error_code();
}

std::error_code sync(handle file)
{
    return FlushFileBuffers(win(file)) ? std::error_code() : last_error();
}

namespace {

// Puts the new file `fresh` in the place of the old output `output`, and
// returns why not.  Only ReplaceFileW replaces an old output: a rename would
// give the output the new file's ACL, readable by whoever the folder lets
// read.  No errors of merging are ignored, so that an ACL that cannot be
// kept (for want of WRITE_DAC on a network share, say) fails the
// replacement, and the output is written in place instead.
DWORD replace_old(const fs::path& fresh, const fs::path& output, Output& pending, bool& old_gone)
{
    DWORD error = NO_ERROR;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (ReplaceFileW(output.c_str(), fresh.c_str(), nullptr, 0, nullptr, nullptr))
            return NO_ERROR;
        error = GetLastError();
        // The old output is gone: ReplaceFileW removed it and then failed
        // to rename the new file, or another run moved it aside meanwhile
        // (wine's ReplaceFileW renames the old file away before it renames
        // the new one in).  There is nothing left to keep, nor to write in
        // place, and the new file takes the free name by a rename; if a file
        // has come back under it, ReplaceFileW replaces that one.
        if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 &&
            error != ERROR_FILE_NOT_FOUND)
            return error;
        old_gone = true;
        close_handle(pending.old);
        if (MoveFileExW(fresh.c_str(), output.c_str(), 0))
            return NO_ERROR;
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            return error;
    }
    return error;
}

}  // namespace

std::error_code put_in_place(Output& pending)
{
    const fs::path fresh = pending.folder_name / pending.fresh_name;
    const fs::path output = pending.folder_name / pending.name;
    // A folder may let files be made in it but not removed.  Windows gives
    // the handle that creates a file all the access it asks for, DELETE
    // among them, and a handle opened later only what the folder allows:
    // once the run's handle is closed, a new file that fails to take the
    // output's place might never be removed.  Whether it could be opened
    // again as it must be is tried first; where it could not, it stays
    // open, and the output is written in place.
    const HANDLE trial = CreateFileW(fresh.c_str(), GENERIC_READ | DELETE, share_all, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (trial == INVALID_HANDLE_VALUE)
        return last_error();
    CloseHandle(trial);
    hold_signals();
    // ReplaceFileW opens the new file sharing nothing, so the run's handle
    // on it is closed first; the control handler waits meanwhile, since it
    // could not remove the file through a closed handle.  The run's handle
    // on the old output stays open: ReplaceFileW opens that file sharing
    // everything, and replaces it while other handles that allow its
    // removal are open on it.
    close_handle(pending.fresh);
    DWORD error = NO_ERROR;
    bool old_gone = false;
    if (pending.old != no_handle)
        error = replace_old(fresh, output, pending, old_gone);
    // A new output takes its name only while the name is free: a file put
    // there meanwhile is not replaced.
    else if (!MoveFileExW(fresh.c_str(), output.c_str(), 0))
        error = GetLastError();
    // Where the old output went and the new file could not take its name,
    // the new file is the one whole object left: it stays, under its own
    // name, and the run fails saying so.
    if (error == NO_ERROR || old_gone) {
        pending.fresh_name.clear();
        pending.placed = error == NO_ERROR;
    } else {
        // The new file stays, to be copied into the output or removed:
        // opened again, with DELETE, so that a handler can still remove it.
        const HANDLE again = CreateFileW(fresh.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (again != INVALID_HANDLE_VALUE) {
            pending.fresh = ours(again);
        } else {
            DeleteFileW(fresh.c_str());
            pending.fresh_name.clear();
        }
    }
    release_signals();
    return system_error(error);
}

std::error_code write_all(handle file, const char* bytes, std::size_t size)
{
    for (std::size_t done = 0; done < size;) {
        const DWORD some = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(win(file), bytes + done, some, &wrote, nullptr))
            return last_error();
        // A write to a disk file that returns writes everything.
        if (wrote == 0)
            return system_error(ERROR_WRITE_FAULT);
        done += wrote;
    }
    return {};
}

std::error_code copy_into_old(Output& pending)
{
    if (pending.fresh == no_handle)
        return system_error(ERROR_FILE_NOT_FOUND);
    const HANDLE from = win(pending.fresh);
    const LARGE_INTEGER start = {};
    if (!SetFilePointerEx(from, start, nullptr, FILE_BEGIN) ||
        !SetFilePointerEx(win(pending.old), start, nullptr, FILE_BEGIN))
        return last_error();
    char block[1 << 16];
    DWORD got = 0;
    while (ReadFile(from, block, sizeof block, &got, nullptr)) {
        if (got == 0)
            return {};
        if (const std::error_code error = write_all(pending.old, block, got))
            return error;
    }
    return last_error();
}

void remove_fresh(Output& pending)
{
    hold_signals();
    // Removed through the handle, as the file it is open on, whatever name
    // it has now; by its name only where the file system takes no removal
    // through a handle.
    const bool marked = mark_for_removal(win(pending.fresh));
    close_handle(pending.fresh);
    if (!marked)
        DeleteFileW((pending.folder_name / pending.fresh_name).c_str());
    pending.fresh_name.clear();
    release_signals();
}

std::error_code lock(handle file)
{
    // Exclusive over every byte the file can have, and waited for: the
    // handle is synchronous, so the call returns only with the lock, once
    // another run's is gone.  The run's own stream writes through a
    // duplicate of this handle, which shares the lock.
    OVERLAPPED whole = {};
    return LockFileEx(win(file), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) ? std::error_code()
                                                                                         : last_error();
}

std::error_code cut_to_zero(handle file)
{
    return cut(win(file)) ? std::error_code() : last_error();
}

std::FILE* stream_over(handle file, handle& stream, std::error_code& error)
{
    // A handle of the stream's own, which the C library closes with the
    // stream; the run's stays open for the steps after the stream.
    HANDLE second = nullptr;
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, win(file), process, &second, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        error = last_error();
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(second), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        error = stream_error();
        CloseHandle(second);
        return nullptr;
    }
    std::FILE* out = _fdopen(fd, "wb");
    if (!out) {
        error = stream_error();
        _close(fd);
        return nullptr;
    }
    stream = ours(second);
    return out;
}

void close_handle(handle& file)
{
    if (file != no_handle)
        CloseHandle(win(file));
    file = no_handle;
}

}  // namespace korrin
