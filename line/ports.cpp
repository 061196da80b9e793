// What both systems share: the order of the ports found, what each is in
// words, which of them a run may take, the speeds in words, COM names.

#include "ports.h"

#include "port.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <string>

namespace korrin {

namespace {

// Names in the order a user counts them: runs of digits by their value.
bool counted_before(const std::string& a, const std::string& b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool digits = std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]));
        if (!digits) {
            const int x = std::toupper(static_cast<unsigned char>(a[i++]));
            const int y = std::toupper(static_cast<unsigned char>(b[j++]));
            if (x != y)
                return x < y;
            continue;
        }
        std::size_t end_a = i;
        std::size_t end_b = j;
        while (end_a < a.size() && std::isdigit(static_cast<unsigned char>(a[end_a])))
            ++end_a;
        while (end_b < b.size() && std::isdigit(static_cast<unsigned char>(b[end_b])))
            ++end_b;
        // Without leading zeros the longer number is the larger.
        while (i + 1 < end_a && a[i] == '0')
            ++i;
        while (j + 1 < end_b && b[j] == '0')
            ++j;
        if (end_a - i != end_b - j)
            return end_a - i < end_b - j;
        const int order = a.compare(i, end_a - i, b, j, end_b - j);
        if (order != 0)
            return order < 0;
        i = end_a;
        j = end_b;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

void sort_ports(std::vector<found_port>& ports)
{
    std::stable_sort(ports.begin(), ports.end(), [](const found_port& a, const found_port& b) {
        if (a.kind != b.kind)
            return a.kind < b.kind;
        return counted_before(a.name, b.name);
    });
}

std::string port_description(const found_port& port)
{
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB %04X:%04X", port.vendor & 0xFFFFu, port.product & 0xFFFFu);
    switch (port.kind) {
    case port_kind::calculator:
        return std::string("HP 49g+/50g calculator (") + ids + ")";
    case port_kind::usb_adapter:
        return "USB serial adapter (" + (port.model.empty() ? "" : port.model + ", ") + ids + ")";
    case port_kind::built_in:
        break;
    }
    return port.model.empty() ? "serial port" : "serial port (" + port.model + ")";
}

std::string speeds_text()
{
    std::string text;
    for (std::size_t i = 0; i < std::size(line_speeds); ++i)
        text += (i == 0 ? "" : i + 1 < std::size(line_speeds) ? ", " : " or ") + std::to_string(line_speeds[i]);
    return text;
}

bool is_com_name(const std::string& name)
{
    if (name.size() < 4 || name.find_first_not_of("0123456789", 3) != std::string::npos)
        return false;
    for (std::size_t i = 0; i < 3; ++i)
        if ((name[i] & ~0x20) != "COM"[i])
            return false;
    return true;
}

std::vector<found_port> likely_ports(const std::vector<found_port>& ports)
{
    for (const port_kind kind : {port_kind::calculator, port_kind::usb_adapter}) {
        std::vector<found_port> some;
        for (const found_port& port : ports)
            if (port.kind == kind)
                some.push_back(port);
        if (!some.empty())
            return some;
    }
    return {};
}

port_trouble trouble_of_condition(const std::error_code& error)
{
    if (error == std::errc::no_such_file_or_directory || error == std::errc::no_such_device ||
        error == std::errc::no_such_device_or_address)
        return port_trouble::missing;
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted)
        return port_trouble::denied;
    if (error == std::errc::device_or_resource_busy)
        return port_trouble::busy;
    if (error == std::errc::invalid_argument)
        return port_trouble::speed;
    if (error == std::errc::inappropriate_io_control_operation || error == std::errc::is_a_directory)
        return port_trouble::not_a_port;
    return port_trouble::other;
}

}  // namespace korrin
