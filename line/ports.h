// The serial ports of this computer, and which of them the calculator is
// on, read from the system's own list of devices.
//
// On Linux that list is sysfs: each entry of <sys>/class/tty whose
// "device" link leads into the device tree is a port with hardware behind
// it.  Walking up from that device to the first folder holding idVendor
// and idProduct finds its USB device, if any; the folder just below that
// one is the USB interface, whose "driver" link names the driver (the
// 49g+ and 50g, USB 03F0:0121, are driven by usb_serial_simple and named
// ttyUSBn; a USB serial adapter by ftdi_sio, pl2303, cdc_acm and others).
// A built-in port (ttyS) has a "type" file, 0 where no UART answered.
// Its device file is <dev>/<name>.
//
// On Windows the list is the system's device list, read through SetupAPI:
// each present device of the Ports class gives its COM name ("PortName"),
// its hardware ID (USB\VID_03F0&PID_0121 for the calculator) and the name
// it is shown under; HKLM\HARDWARE\DEVICEMAP\SERIALCOMM adds the COM ports
// that list lacks.  The root given is not read there.

#ifndef KORRIN_LINE_PORTS_H
#define KORRIN_LINE_PORTS_H

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace korrin {

inline constexpr unsigned calculator_vendor = 0x03F0;
inline constexpr unsigned calculator_product = 0x0121;

enum class port_kind {
    calculator,   // the 49g+ or 50g on its USB port
    usb_adapter,  // a USB serial adapter: the HP49G's cable, or any other
    built_in,     // a serial port of the computer itself
};

struct found_port {
    std::string name;        // what opens it: /dev/ttyUSB0, COM3
    port_kind kind = port_kind::built_in;
    unsigned vendor = 0;     // the USB IDs, for a USB device
    unsigned product = 0;
    std::string model;       // its maker's and model's words, as the system has them
    std::string driver;      // the driver that serves it, where known
};

// Every serial port found under `root`, the system's "/": on Linux, sysfs
// at root/sys and the device files at root/dev.  The calculators come
// first, then the USB adapters, then the built-in ports, each group in the
// order of their names, numbers counted as numbers (ttyUSB2 before
// ttyUSB10).  Nothing found, or nothing readable, gives an empty list.
std::vector<found_port> find_ports(const std::filesystem::path& root);

// Puts `ports` in the order find_ports gives them.
void sort_ports(std::vector<found_port>& ports);

// What `port` is, in words: "HP 49g+/50g calculator (USB 03F0:0121)",
// "USB serial adapter (FTDI FT232R, USB 0403:6001)", "serial port".
// The model's words are the system's: print them escaped.
std::string port_description(const found_port& port);

// The ports a run that names none may take: the calculators if there are
// any, or else the USB adapters.  One means the calculator is found.
std::vector<found_port> likely_ports(const std::vector<found_port>& ports);

// Whether the word after --send, --receive or --list names a port rather
// than a file: a character device; on Windows a COM name (COM3, \\.\COM10,
// of any case); or a name that is not there and lies under /dev, is itself
// named tty... (ttyUSB9) or is a COM name, which can only be a port gone
// missing.
bool names_a_port(const std::string& word);

#ifdef _WIN32
// A text of the system's, UTF-16, in UTF-8; what is no UTF-16 becomes
// U+FFFD.
std::string utf8(const std::wstring& text);
#endif

// Whether `name` is a Windows port's name: COM and a number, COM in any
// case.
bool is_com_name(const std::string& name);

// What a failure of open_port (port.h) comes to, on either system.
enum class port_trouble { missing, denied, busy, speed, not_a_port, other };
port_trouble trouble_of(const std::error_code& error);

// The same from the portable conditions alone, which every system's codes
// compare equal to.
port_trouble trouble_of_condition(const std::error_code& error);

// The programs that hold `port` open, as "name (process N)", where the
// system tells (Linux: /proc/*/fd); this process is left out.
std::vector<std::string> port_holders(const std::string& port);

// The group that owns the device file `port`, or "" where there is none.
std::string port_group(const std::string& port);

}  // namespace korrin

#endif  // KORRIN_LINE_PORTS_H
