// The serial ports on Linux, from sysfs; and what the system tells about a
// port that would not open.

#include "ports.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace korrin {

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, without its line end; "" when it
// cannot be read.
std::string attribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

unsigned hex_attribute(const fs::path& file)
{
    const std::string text = attribute(file);
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    return text.empty() || *end != '\0' ? 0 : static_cast<unsigned>(value & 0xFFFFu);
}

// The last part of where the link `link` leads, or "".
std::string link_name(const fs::path& link)
{
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    return error ? std::string() : target.filename().string();
}

// What the device at `device`, the tty's "device" link resolved, is:
// walked up to the USB device that holds it, if any, no further than
// `top`, sysfs's own folder.
found_port described(const fs::path& device, const fs::path& top)
{
    found_port port;
    fs::path below = device;
    for (fs::path at = device; !at.empty() && at != top && at != at.root_path(); below = at, at = at.parent_path()) {
        std::error_code error;
        if (!fs::exists(at / "idVendor", error) || !fs::exists(at / "idProduct", error))
            continue;
        port.vendor = hex_attribute(at / "idVendor");
        port.product = hex_attribute(at / "idProduct");
        port.driver = link_name(below / "driver");
        const std::string maker = attribute(at / "manufacturer");
        const std::string model = attribute(at / "product");
        port.model = maker.empty() ? model : model.empty() ? maker : maker + " " + model;
        port.kind = port.vendor == calculator_vendor && port.product == calculator_product ? port_kind::calculator
                                                                                           : port_kind::usb_adapter;
        return port;
    }
    // A built-in UART: its driver, above the serial core's own "port" and
    // "ctrl" devices that newer kernels put between.
    for (fs::path at = device; !at.empty() && at != top && at != at.root_path(); at = at.parent_path()) {
        const std::string driver = link_name(at / "driver");
        if (!driver.empty() && driver != "port" && driver != "ctrl") {
            port.driver = port.model = driver;
            break;
        }
    }
    return port;
}

}  // namespace

std::vector<found_port> find_ports(const fs::path& root)
{
    const fs::path sys = root / "sys";
    const fs::path dev = root / "dev";
    std::vector<found_port> ports;
    std::error_code error;
    fs::path top = fs::canonical(sys, error);
    if (error)
        return ports;
    for (fs::directory_iterator entry(sys / "class" / "tty", error), end; !error && entry != end;
         entry.increment(error)) {
        const fs::path tty = entry->path();
        std::error_code missing;
        const fs::path device = fs::canonical(tty / "device", missing);
        // A virtual terminal or a pseudo-terminal has no device behind it.
        if (missing)
            continue;
        found_port port = described(device, top);
        // A built-in UART that did not answer when the kernel probed it.
        if (port.kind == port_kind::built_in && attribute(tty / "type") == "0")
            continue;
        port.name = (dev / tty.filename()).string();
        if (!fs::exists(port.name, missing))
            continue;
        ports.push_back(port);
    }
    sort_ports(ports);
    return ports;
}

bool names_a_port(const std::string& word)
{
    struct stat status {};
    if (::stat(word.c_str(), &status) == 0)
        return S_ISCHR(status.st_mode);
    if (errno != ENOENT)
        return false;
    // A Windows port's name, COM3, typed here too, is a port that is not
    // there, never a file to read.
    const std::string name = fs::path(word).filename().string();
    return word.compare(0, 5, "/dev/") == 0 || name.compare(0, 3, "tty") == 0 || is_com_name(word);
}

port_trouble trouble_of(const std::error_code& error)
{
    return trouble_of_condition(error);
}

std::vector<std::string> port_holders(const std::string& port)
{
    std::vector<std::string> holders;
    std::error_code error;
    const fs::path device = fs::canonical(port, error);
    if (error)
        return holders;
    const std::string self = std::to_string(getpid());
    for (fs::directory_iterator process("/proc", error), end; !error && process != end; process.increment(error)) {
        const std::string pid = process->path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::error_code unreadable;
        for (fs::directory_iterator fd(process->path() / "fd", unreadable), last; !unreadable && fd != last;
             fd.increment(unreadable)) {
            std::error_code gone;
            if (fs::read_symlink(fd->path(), gone) == device) {
                holders.push_back(attribute(process->path() / "comm") + " (process " + pid + ")");
                break;
            }
        }
    }
    return holders;
}

// Read from /etc/group itself: the programs are linked statically, where
// the C library's own lookup would need its shared modules.
std::string port_group(const std::string& port)
{
    struct stat status {};
    if (::stat(port.c_str(), &status) != 0 || status.st_gid == 0)
        return {};
    std::ifstream groups("/etc/group");
    // name:password:gid:members
    for (std::string line; std::getline(groups, line);) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::size_t third = line.find(':', second + 1);
        if (line.substr(second + 1, third - second - 1) == std::to_string(status.st_gid))
            return line.substr(0, first);
    }
    return std::to_string(status.st_gid);
}

}  // namespace korrin
