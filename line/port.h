// The serial port the calculator is on, and the few things done with it.
//
// The calculator's line is 8 data bits, no parity, one stop bit and no flow
// control; its speed is 9600 baud unless the user changed it (the HP49G takes
// 1200 to 9600, the USB calculators more).  POSIX names the port by its
// device path (/dev/ttyUSB0); Windows by COMn or \\.\COMn.  The same
// functions exist on both systems, in port_posix.cpp and port_windows.cpp.
//
// Failures come as std::error_code.  Those of open_port that a user can act
// on are told apart by trouble_of (ports.h): on POSIX they are errno values,
// compared to these std::errc conditions; on Windows the opening's own are
// the system's codes (std::system_category), which it words itself:
//   no_such_file_or_directory           the port does not exist;
//   device_or_resource_busy             another program holds it (Windows:
//                                       ERROR_ACCESS_DENIED);
//   permission_denied                   the user may not open it (on Linux,
//                                       not in the dialout group);
//   is_a_directory                      it is a folder;
//   inappropriate_io_control_operation  it is no serial port;
//   invalid_argument                    a speed the port cannot take.
// Any failure of read_port or write_port means the line was cut: the
// adapter unplugged, the calculator's USB port gone, or, on a
// pseudo-terminal, the other end closed.  They compare equal to io_error.

#ifndef KORRIN_LINE_PORT_H
#define KORRIN_LINE_PORT_H

#include <chrono>
#include <cstddef>
#include <string>
#include <system_error>

#ifndef _WIN32
#include <termios.h>
#endif

namespace korrin {

// The port open, and its settings as they were found, which closing it
// puts back.
struct serial_port {
#ifdef _WIN32
    void* handle = nullptr;
    unsigned long read_wait_ms = 0;   // the read timeout the port is set to now
    // Its DCB and COMMTIMEOUTS, kept as bytes so that this header needs
    // no windows.h; port_windows.cpp checks that they fit.
    alignas(8) unsigned char found_state[64] = {};
    alignas(8) unsigned char found_timeouts[32] = {};
#else
    int fd = -1;
    termios found = {};
#endif
};

inline constexpr unsigned calculator_baud = 9600;

// The standard speeds from 1200 to 115200 baud, which every port of the
// calculators' takes.
inline constexpr unsigned line_speeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// Whether `baud` is one of line_speeds.
inline bool is_supported_baud(unsigned baud)
{
    for (unsigned known : line_speeds)
        if (known == baud)
            return true;
    return false;
}

// The speeds as a message names them: "1200, 2400, ... or 115200".
std::string speeds_text();

// Opens `name` for this program alone, raw 8N1 at `baud` without flow
// control, and drops whatever was waiting in its buffers.  Its settings
// are kept to be put back by close_port; on a failure it is left as it was.
std::error_code open_port(const std::string& name, unsigned baud, serial_port& port);

// Reads at most `size` bytes into `buffer`, waiting up to `wait` for the
// first; `got` says how many came, 0 when none did in time.  A signal that
// interrupts the wait ends it early with no error and nothing read, so the
// caller can look at what the signal asked for.
std::error_code read_port(serial_port& port, unsigned char* buffer, std::size_t size,
                          std::chrono::milliseconds wait, std::size_t& got);

// Writes all `size` bytes, or fails.
std::error_code write_port(serial_port& port, const unsigned char* bytes, std::size_t size);

// Lets what was written leave the port, puts back the settings it was
// found with, gives up this program's hold on it, and closes it: the next
// program, or the terminal the port was, finds it as it was before.
void close_port(serial_port& port);

}  // namespace korrin

#endif  // KORRIN_LINE_PORT_H
