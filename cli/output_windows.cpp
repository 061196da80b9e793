#include "output.h"

#include "console.h"
#include "platform.h"

#include <cstdlib>
#include <new>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace korrin {

namespace fs = std::filesystem;

namespace {

// What the console's control handler must undo, as handles it can use
// without allocating: it stops the main thread, which may hold the heap's
// lock.  The main thread changes these only while holding `lock`, which
// the handler takes first, so the handler always finds them whole.
CRITICAL_SECTION lock;
HANDLE main_thread = nullptr;
HANDLE new_handle = INVALID_HANDLE_VALUE;  // a second handle on the new file
HANDLE in_place = INVALID_HANDLE_VALUE;    // a second handle on a file written in place
fs::path new_file;                         // the new file's name
fs::path output_file;                      // the name it is to take
bool output_existed = false;
const char* program_name = "";

// Marks the new file to go when its last handle closes, and cuts a file
// written in place to zero length, both through handles of the run's own.
void undo_pending()
{
    if (new_handle != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO remove = {TRUE};
        SetFileInformationByHandle(new_handle, FileDispositionInfo, &remove, sizeof remove);
    }
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
    // The thread stops for certain only once its registers can be read.
    CONTEXT registers = {};
    registers.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(main_thread, &registers);
    undo_pending();
    // The exit status the console's own handler gives, without its flush
    // of the stream buffers: they hold bytes of the broken object.  Ending
    // the process closes the new file's handles, and so removes it.
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

// The name of the file `file` is open on, at the end of any symbolic links,
// in the long form ("\\?\C:\...") that no path length limits; or empty.
fs::path final_name(HANDLE file)
{
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD size = GetFinalPathNameByHandleW(file, nullptr, 0, flags);
    std::vector<wchar_t> name(size + 1);
    if (size == 0 || GetFinalPathNameByHandleW(file, name.data(), size + 1, flags) >= size + 1)
        return {};
    return fs::path(name.data());
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

HANDLE second_handle(HANDLE file)
{
    HANDLE second = INVALID_HANDLE_VALUE;
    const HANDLE process = GetCurrentProcess();
    DuplicateHandle(process, file, process, &second, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return second;
}

// Creates a new file beside the output and records it for removal in the
// same step.  Returns its handle, or INVALID_HANDLE_VALUE with the error
// left for GetLastError.
HANDLE create_new_file()
{
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const fs::path file = output_file.parent_path() / new_file_name(output_file.filename(), program_name);
        EnterCriticalSection(&lock);
        // Shared for deletion, so that the file can be renamed and removed
        // while a handle of the run's is open on it.
        const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            new_file = file;
            new_handle = second_handle(handle);
        }
        LeaveCriticalSection(&lock);
        if (handle != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS) {
            SetLastError(error);
            return handle;
        }
    }
    return INVALID_HANDLE_VALUE;
}

// Puts the new file in the output's place, or removes it; the caller holds
// the lock.  An existing output is replaced by the call that keeps its
// attributes, owner and permissions; where that fails, and for a new
// output, the new file is renamed into place.
bool settle_new_file(bool place)
{
    if (!place) {
        FILE_DISPOSITION_INFO remove = {TRUE};
        SetFileInformationByHandle(new_handle, FileDispositionInfo, &remove, sizeof remove);
    }
    CloseHandle(new_handle);
    new_handle = INVALID_HANDLE_VALUE;
    const bool placed =
        place && ((output_existed && ReplaceFileW(output_file.c_str(), new_file.c_str(), nullptr,
                                                  REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) ||
                  MoveFileExW(new_file.c_str(), output_file.c_str(), MOVEFILE_REPLACE_EXISTING));
    if (place && !placed)
        DeleteFileW(new_file.c_str());
    new_file.clear();
    return placed;
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
    const HANDLE second = second_handle(old);
    EnterCriticalSection(&lock);
    in_place = second;
    LeaveCriticalSection(&lock);
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
    main_thread = second_handle(GetCurrentThread());
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
    // A symbolic link stays, and the file it leads to is replaced.
    output_file = disk_file ? final_name(named) : output;
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
    if (output_file.empty() || !output_file.has_filename())
        return fail(opening_failed, name);

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

    // Another name for the same file would keep the old content.  Only a
    // folder that allows no new file sends the object in place otherwise;
    // any other failure to make one refuses the run before the old output
    // is touched.
    const bool replace = !output_existed || old_info.nNumberOfLinks == 1;
    const HANDLE fresh = replace ? create_new_file() : INVALID_HANDLE_VALUE;
    if (fresh == INVALID_HANDLE_VALUE) {
        if (output_existed && (!replace || GetLastError() == ERROR_ACCESS_DENIED))
            return open_in_place(old, name, out);
        if (output_existed)
            CloseHandle(old);
        return fail(opening_failed, name);
    }
    if (output_existed)
        CloseHandle(old);
    out = stream_of(fresh);
    if (!out) {
        discard_output(nullptr);
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
    const bool placed = settle_new_file(closed);
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
    if (!new_file.empty()) {
        EnterCriticalSection(&lock);
        settle_new_file(false);
        LeaveCriticalSection(&lock);
    }
}

}  // namespace korrin
