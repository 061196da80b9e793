// The serial port on Windows, through the Win32 communications functions.
// A COM port has one owner at a time: Windows itself refuses a second
// opening with ERROR_ACCESS_DENIED.

#include "port.h"
#include "ports.h"

#include <cstring>
#include <windows.h>

namespace korrin {

namespace {


// Port names past COM9 open only in the device namespace, and the short
// ones open there too, so COMn becomes \\.\COMn.
constexpr wchar_t device_namespace[] = L"\\\\.\\";

// A write may take as long as its bytes need on the line, ten bit times
// each, and a margin for the adapter.
constexpr DWORD bits_per_byte = 10;
constexpr DWORD milliseconds_per_second = 1000;
constexpr DWORD write_margin_ms = 5000;

// Windows waits at least this long in a read that is to return at once.
constexpr DWORD shortest_read_ms = 1;

std::error_code line_cut()
{
    return std::make_error_code(std::errc::io_error);
}

std::wstring widen(const std::string& name)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), wide.data(), size);
    return wide;
}

std::wstring device_path(const std::string& name)
{
    std::wstring wide = widen(name);
    return is_com_name(name) ? device_namespace + wide : wide;
}

// The system's own code, which it words itself; trouble_of (ports.h)
// tells what it comes to.
std::error_code open_failure(DWORD error)
{
    return {static_cast<int>(error), std::system_category()};
}

static_assert(sizeof(DCB) <= sizeof serial_port::found_state, "the DCB fits serial_port");
static_assert(sizeof(COMMTIMEOUTS) <= sizeof serial_port::found_timeouts, "the timeouts fit serial_port");

// Takes the port's settings as they are, into `port`: no COM port lacks
// them.
bool keep_found(HANDLE handle, serial_port& port)
{
    DCB state{};
    state.DCBlength = sizeof state;
    COMMTIMEOUTS timeouts{};
    if (!GetCommState(handle, &state) || !GetCommTimeouts(handle, &timeouts))
        return false;
    std::memcpy(port.found_state, &state, sizeof state);
    std::memcpy(port.found_timeouts, &timeouts, sizeof timeouts);
    return true;
}

// Puts back the settings `port` was found with.
void put_back(HANDLE handle, const serial_port& port)
{
    DCB state;
    COMMTIMEOUTS timeouts;
    std::memcpy(&state, port.found_state, sizeof state);
    std::memcpy(&timeouts, port.found_timeouts, sizeof timeouts);
    SetCommState(handle, &state);
    SetCommTimeouts(handle, &timeouts);
}

// The port set up from the settings it was found with, `found`.
std::error_code configure(HANDLE handle, unsigned baud, const serial_port& found)
{
    DCB line;
    std::memcpy(&line, found.found_state, sizeof line);
    line.BaudRate = baud;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    line.fBinary = TRUE;
    line.fParity = FALSE;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fDsrSensitivity = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fErrorChar = FALSE;
    line.fNull = FALSE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.fAbortOnError = FALSE;
    if (!SetCommState(handle, &line))
        return std::make_error_code(std::errc::invalid_argument);
    // A read returns as soon as one byte has come, or when its own wait is
    // over; read_port sets that wait.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = shortest_read_ms;
    timeouts.WriteTotalTimeoutMultiplier = bits_per_byte * milliseconds_per_second / baud + 1;
    timeouts.WriteTotalTimeoutConstant = write_margin_ms;
    if (!SetCommTimeouts(handle, &timeouts))
        return std::make_error_code(std::errc::inappropriate_io_control_operation);
    // Bytes from before we opened the port belong to nobody's transfer.
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return {};
}

}  // namespace

std::error_code open_port(const std::string& name, unsigned baud, serial_port& port)
{
    if (!is_supported_baud(baud))
        return std::make_error_code(std::errc::invalid_argument);
    std::wstring path = device_path(name);
    // A folder opened as a file fails with ERROR_ACCESS_DENIED, which would
    // read as a port held by another program.
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::make_error_code(std::errc::is_a_directory);
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return open_failure(GetLastError());
    if (!keep_found(handle, port)) {
        CloseHandle(handle);
        return std::make_error_code(std::errc::inappropriate_io_control_operation);
    }
    if (std::error_code error = configure(handle, baud, port)) {
        put_back(handle, port);
        CloseHandle(handle);
        return error;
    }
    port.handle = handle;
    port.read_wait_ms = shortest_read_ms;
    return {};
}

std::error_code read_port(serial_port& port, unsigned char* buffer, std::size_t size,
                          std::chrono::milliseconds wait, std::size_t& got)
{
    got = 0;
    DWORD wait_ms = wait.count() < static_cast<long long>(shortest_read_ms) ? shortest_read_ms
                                                                           : static_cast<DWORD>(wait.count());
    if (wait_ms != port.read_wait_ms) {
        COMMTIMEOUTS timeouts{};
        if (!GetCommTimeouts(port.handle, &timeouts))
            return line_cut();
        timeouts.ReadTotalTimeoutConstant = wait_ms;
        if (!SetCommTimeouts(port.handle, &timeouts))
            return line_cut();
        port.read_wait_ms = wait_ms;
    }
    DWORD n = 0;
    if (!ReadFile(port.handle, buffer, static_cast<DWORD>(size), &n, nullptr))
        return line_cut();
    got = n;
    return {};
}

std::error_code write_port(serial_port& port, const unsigned char* bytes, std::size_t size)
{
    while (size > 0) {
        DWORD n = 0;
        if (!WriteFile(port.handle, bytes, static_cast<DWORD>(size), &n, nullptr) || n == 0)
            return line_cut();
        bytes += n;
        size -= n;
    }
    return {};
}

void close_port(serial_port& port)
{
    if (port.handle == nullptr)
        return;
    // The last acknowledgement must leave before the port closes, or the
    // other side waits for it in vain.
    FlushFileBuffers(port.handle);
    put_back(port.handle, port);
    CloseHandle(port.handle);
    port.handle = nullptr;
}

}  // namespace korrin
