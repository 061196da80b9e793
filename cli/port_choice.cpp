#include "port_choice.h"

#include "console.h"
#include "port.h"
#include "ports.h"

#include <cstdio>
#include <cstdlib>

namespace korrin {

namespace {

// The folder the search takes for the system's "/": KORRIN_SYSTEM_ROOT,
// where set, so that the search can be tried on a tree made for it.
std::filesystem::path system_root()
{
    const char* root = std::getenv("KORRIN_SYSTEM_ROOT");
    return root && *root != '\0' ? root : "/";
}

std::string listed(const found_port& port)
{
    return format_text(listed_port, shown_text(port.name).c_str(), shown_text(port_description(port)).c_str());
}

// The ports there are, as notes, or that there is none.
void note_ports(const std::vector<found_port>& ports)
{
    if (ports.empty()) {
        note(no_ports_there);
        return;
    }
    note(ports_there);
    for (const found_port& port : ports)
        note("  %s", listed(port).c_str());
}

}  // namespace

int list_ports()
{
    std::string listing;
    for (const found_port& port : find_ports(system_root()))
        listing += listed(port) + "\n";
    return print_product(listing);
}

int choose_port(const char* program, Arguments& arguments)
{
    const std::vector<found_port> ports = find_ports(system_root());
    const std::vector<found_port> likely = likely_ports(ports);
    const char* const option = option_of(arguments.act);
    if (likely.size() != 1) {
        const std::vector<found_port>& shown = likely.empty() ? ports : likely;
        refuse(likely.empty() ? no_port_found : several_ports);
        note_ports(shown);
        if (!shown.empty())
            note(name_the_port, program, option, shown_text(shown[0].name).c_str());
        return 1;
    }
    arguments.port = likely[0].name;
    arguments.find_port = false;
    return 0;
}

void explain_port_failure(const std::error_code& error, const std::string& port, unsigned baud)
{
    const std::string shown = shown_text(port);
    switch (trouble_of(error)) {
    case port_trouble::denied: {
        const std::string group = shown_text(port_group(port));
        if (group.empty())
            note(port_denied, shown.c_str());
        else
            note(port_denied_group, shown.c_str(), group.c_str(), group.c_str());
        return;
    }
    case port_trouble::missing:
        note(port_missing, shown.c_str());
        note_ports(find_ports(system_root()));
        return;
    case port_trouble::not_a_port:
        note(not_a_port, shown.c_str());
        note_ports(find_ports(system_root()));
        return;
    case port_trouble::busy: {
        std::string holders;
        for (const std::string& holder : port_holders(port))
            holders += (holders.empty() ? "" : ", ") + shown_text(holder);
        if (holders.empty())
            note(port_held, shown.c_str());
        else
            note(port_held_by, shown.c_str(), holders.c_str());
        return;
    }
    case port_trouble::speed: {
        // The speeds the port takes, each tried in turn.
        std::string taken;
        for (const unsigned speed : line_speeds) {
            serial_port line;
            if (open_port(port, speed, line))
                continue;
            close_port(line);
            taken += (taken.empty() ? "" : ", ") + std::to_string(speed);
        }
        if (taken.empty())
            note(no_speed_taken, shown.c_str(), line_speeds[0], line_speeds[std::size(line_speeds) - 1]);
        else
            note(speed_refused, shown.c_str(), baud, taken.c_str());
        return;
    }
    case port_trouble::other:
        return;
    }
}

}  // namespace korrin
