#include "output.h"

#include "console.h"
#include "platform.h"

#include <cstdlib>
#include <new>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace korrin {

namespace fs = std::filesystem;

namespace {

// What the console's control handler must undo.  The handler runs on a
// thread of its own: it takes the lock and stops the main thread before it
// looks, and the main thread changes these only while holding the lock, so
// the handler always finds them whole.
CRITICAL_SECTION lock;
HANDLE main_thread = nullptr;
fs::path new_file;                           // the new file, or empty
fs::path output_file;                        // the name it is to take
bool output_existed = false;
DWORD output_attributes = 0;
HANDLE in_place = INVALID_HANDLE_VALUE;      // a second handle on a file written in place
const char* program_name = "";

void undo_pending()
{
    if (!new_file.empty())
        DeleteFileW(new_file.c_str());
    if (in_place != INVALID_HANDLE_VALUE) {
        const LARGE_INTEGER start = {};
        if (SetFilePointerEx(in_place, start, nullptr, FILE_BEGIN))
            SetEndOfFile(in_place);
    }
}

BOOL WINAPI end_by_control(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    EnterCriticalSection(&lock);
    SuspendThread(main_thread);
    undo_pending();
    // The exit status the console's own handler gives, without its flush
    // of the stream buffers: they hold bytes of the broken object.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void out_of_memory()
{
    EnterCriticalSection(&lock);
    undo_pending();
    std::fflush(stdout);
    std::_Exit(1);
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

bool identify(HANDLE file, BY_HANDLE_FILE_INFORMATION& info)
{
    return file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(file, &info);
}

// A stream over `file`, which it then owns.
std::FILE* stream_of(HANDLE file)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, "wb");
    if (!stream)
        _close(fd);
    return stream;
}

// Creates a new file beside the output and records it for removal in the
// same step.  Others may delete it while it is open: the control handler
// removes it so.
HANDLE create_new_file(const fs::path& folder)
{
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const fs::path file = folder / new_file_name(output_file.filename(), program_name);
        EnterCriticalSection(&lock);
        const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE)
            new_file = file;
        LeaveCriticalSection(&lock);
        if (handle != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS)
            return handle;
    }
    return INVALID_HANDLE_VALUE;
}

void remove_new_file()
{
    EnterCriticalSection(&lock);
    DeleteFileW(new_file.c_str());
    new_file.clear();
    LeaveCriticalSection(&lock);
}

// Puts the whole new file in the output's place in one rename, with the
// old output's attributes (hidden, system, archive) so that it looks the
// same in a folder listing.  They say nothing of the content or of who may
// open it, so a failure to copy them does not stop the replacement.
bool put_in_place()
{
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (output_existed)
        SetFileAttributesW(new_file.c_str(), output_attributes & kept);
    return MoveFileExW(new_file.c_str(), output_file.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void release_in_place(bool cut)
{
    EnterCriticalSection(&lock);
    if (cut)
        undo_pending();
    CloseHandle(in_place);
    in_place = INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&lock);
}

// Writes an existing regular file in place, cut to zero length first.  A
// second handle on it stays with the run, so that a failure or Ctrl-C can
// cut it to zero again after its stream is gone.
int open_in_place(HANDLE old, const std::string& name, std::FILE*& out)
{
    HANDLE second = INVALID_HANDLE_VALUE;
    const HANDLE process = GetCurrentProcess();
    if (DuplicateHandle(process, old, process, &second, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        EnterCriticalSection(&lock);
        in_place = second;
        LeaveCriticalSection(&lock);
    }
    if (in_place != INVALID_HANDLE_VALUE && SetEndOfFile(old))
        out = stream_of(old);
    else
        CloseHandle(old);
    if (!out) {
        if (in_place != INVALID_HANDLE_VALUE)
            release_in_place(false);
        return fail(opening_failed, name);
    }
    return 0;
}

}  // namespace

void guard_output(const char* program)
{
    program_name = program;
    InitializeCriticalSection(&lock);
    const HANDLE process = GetCurrentProcess();
    DuplicateHandle(process, GetCurrentThread(), process, &main_thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(end_by_control, TRUE);
    std::set_new_handler(out_of_memory);
}

int open_output(const fs::path& output, std::FILE* in, const std::string& name, std::FILE*& out)
{
    out = nullptr;
    // No access asked for: the file is only identified here, never changed.
    const HANDLE named = CreateFileW(output.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool exists = named != INVALID_HANDLE_VALUE;
    const bool disk_file = exists && GetFileType(named) == FILE_TYPE_DISK;
    BY_HANDLE_FILE_INFORMATION output_info;
    BY_HANDLE_FILE_INFORMATION other_info;
    const bool identified = identify(named, output_info);
    if (exists)
        CloseHandle(named);
    // Writing the output would destroy the input before a byte of it is read.
    if (identified && identify(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(in))), other_info) &&
        same_file(output_info, other_info))
        return fail(is_input, name);
    // The report would run through the object.
    if (identified && identify(GetStdHandle(STD_OUTPUT_HANDLE), other_info) && same_file(output_info, other_info))
        return fail(is_console, name);
    // A device (NUL, a serial port) has no content to replace.
    if (exists && !disk_file) {
        out = _wfopen(output.c_str(), L"wb");
        return out ? 0 : fail(opening_failed, name);
    }

    // A symbolic link stays, and the file it leads to is replaced.
    if (!resolve_links(output, output_file) || !output_file.has_filename())
        return fail(opening_failed, name);
    const fs::path folder = output_file.parent_path();

    // An output the user may not write (read-only, say) is refused, exactly
    // as opening it for writing would refuse it: the replacement must not
    // get around that.
    const HANDLE old = CreateFileW(output_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    output_existed = old != INVALID_HANDLE_VALUE;
    if (!output_existed && GetLastError() != ERROR_FILE_NOT_FOUND)
        return fail(opening_failed, name);
    BY_HANDLE_FILE_INFORMATION old_info;
    if (output_existed && !GetFileInformationByHandle(old, &old_info)) {
        CloseHandle(old);
        return fail(opening_failed, name);
    }

    if (output_existed)
        output_attributes = old_info.dwFileAttributes;
    // Another name for the same file would keep the old content.
    const HANDLE fresh = !output_existed || old_info.nNumberOfLinks == 1 ? create_new_file(folder)
                                                                         : INVALID_HANDLE_VALUE;
    if (fresh == INVALID_HANDLE_VALUE)
        return output_existed ? open_in_place(old, name, out) : fail(opening_failed, name);
    if (output_existed)
        CloseHandle(old);
    out = stream_of(fresh);
    if (!out) {
        remove_new_file();
        return fail(opening_failed, name);
    }
    return 0;
}

bool finish_output(std::FILE* out)
{
    const bool closed = std::fclose(out) == 0;
    if (in_place != INVALID_HANDLE_VALUE) {
        release_in_place(!closed);
        return closed;
    }
    if (new_file.empty())
        return closed;

    EnterCriticalSection(&lock);
    const bool placed = closed && put_in_place();
    if (!placed)
        DeleteFileW(new_file.c_str());
    new_file.clear();
    LeaveCriticalSection(&lock);
    return placed;
}

void discard_output(std::FILE* out)
{
    // The bytes still in the stream's buffer may reach the file as it
    // closes; the file is cut or removed after that.
    if (out)
        static_cast<void>(std::fclose(out));
    if (in_place != INVALID_HANDLE_VALUE)
        release_in_place(true);
    if (!new_file.empty())
        remove_new_file();
}

}  // namespace korrin
