// The serial port on POSIX systems, through termios.

#include "port.h"

#include <cerrno>
#include <iterator>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace korrin {

namespace {

struct baud_speed {
    unsigned baud;
    speed_t speed;
};

constexpr baud_speed speeds[] = {
    {1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};
static_assert(std::size(speeds) == std::size(line_speeds), "a termios speed for each line speed");

std::error_code last_error()
{
    return {errno, std::generic_category()};
}

std::error_code line_cut()
{
    return std::make_error_code(std::errc::io_error);
}

// Raw 8N1 without flow control: every byte passes unchanged both ways, none
// is taken as a signal, a flow control character or a line end.  CLOCAL,
// since the calculator's cable carries no modem lines.
void make_raw(termios& line, speed_t speed)
{
    line.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL
                                           | IXON | IXOFF | IXANY | INPCK);
    line.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    line.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | CREAD | CLOCAL;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    cfsetispeed(&line, speed);
    cfsetospeed(&line, speed);
}

// Another program holding the port is refused rather than shared: two
// programs reading one line would each see half the packets.  flock finds
// a holder that locked it the same way; TIOCGEXCL one that made it
// exclusive, which does not stop the superuser opening it again.
std::error_code claim(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? std::make_error_code(std::errc::device_or_resource_busy) : last_error();
#ifdef TIOCGEXCL
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0)
        return std::make_error_code(std::errc::device_or_resource_busy);
#endif
    if (ioctl(fd, TIOCEXCL) != 0)
        return last_error();
    return {};
}

// Puts back the settings the port was found with, and lets other programs
// open it again.  Its lock goes with the descriptor.
void release(int fd, const termios& found)
{
    tcsetattr(fd, TCSANOW, &found);
    ioctl(fd, TIOCNXCL);
}

// The port set up from the settings it was `found` with.
std::error_code configure(int fd, unsigned baud, termios line)
{
    speed_t speed = B0;
    for (const baud_speed& known : speeds)
        if (known.baud == baud)
            speed = known.speed;
    if (speed == B0)
        return std::make_error_code(std::errc::invalid_argument);
    make_raw(line, speed);
    if (tcsetattr(fd, TCSANOW, &line) != 0)
        return last_error();
    // Opened without waiting for a carrier, the port now blocks as usual:
    // reads wait in poll, writes go out whole.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return last_error();
    // Bytes from before we opened the port belong to nobody's transfer.
    tcflush(fd, TCIOFLUSH);
    return {};
}

}  // namespace

std::error_code open_port(const std::string& name, unsigned baud, serial_port& port)
{
    if (!is_supported_baud(baud))
        return std::make_error_code(std::errc::invalid_argument);
    int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return last_error();
    std::error_code error;
    termios found{};
    if (!isatty(fd))
        error = std::make_error_code(std::errc::inappropriate_io_control_operation);
    else if (tcgetattr(fd, &found) != 0)
        error = last_error();
    if (!error)
        error = claim(fd);
    // Once claimed, the port is this program's to put back; a port some
    // other program holds is not touched.
    const bool claimed = !error;
    if (!error)
        error = configure(fd, baud, found);
    if (error) {
        if (claimed)
            release(fd, found);
        ::close(fd);
        return error;
    }
    port.fd = fd;
    port.found = found;
    return {};
}

std::error_code read_port(serial_port& port, unsigned char* buffer, std::size_t size,
                          std::chrono::milliseconds wait, std::size_t& got)
{
    got = 0;
    pollfd watch{port.fd, POLLIN, 0};
    int ready = poll(&watch, 1, static_cast<int>(wait.count()));
    if (ready < 0)
        return errno == EINTR ? std::error_code{} : line_cut();
    if (ready == 0)
        return {};
    if ((watch.revents & POLLIN) == 0)
        return line_cut();
    ssize_t n = ::read(port.fd, buffer, size);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN ? std::error_code{} : line_cut();
    // A terminal that reads nothing after poll said it could has been hung up.
    if (n == 0)
        return line_cut();
    got = static_cast<std::size_t>(n);
    return {};
}

std::error_code write_port(serial_port& port, const unsigned char* bytes, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(port.fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return line_cut();
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

void close_port(serial_port& port)
{
    if (port.fd < 0)
        return;
    // The last acknowledgement must leave before the port closes, or the
    // other side waits for it in vain.
    tcdrain(port.fd);
    release(port.fd, port.found);
    ::close(port.fd);
    port.fd = -1;
}

}  // namespace korrin
