// The programs' side of the search for ports: --ports, the port taken when
// none is named, and the next step after a port that would not open.

#ifndef KORRIN_CLI_PORT_CHOICE_H
#define KORRIN_CLI_PORT_CHOICE_H

#include "arguments.h"

#include <string>
#include <system_error>

namespace korrin {

// Prints the ports found, one a line, its name and what it is, as the
// product on standard output; returns the exit status.
int list_ports();

// Finds the port for a run that named none and puts it where the
// arguments want their port; or, finding none or several, refuses with
// the ports there are, and returns the exit status.
int choose_port(const char* program, Arguments& arguments);

// After open_port failed on `port` with `error`: the next step, as notes.
void explain_port_failure(const std::error_code& error, const std::string& port, unsigned baud);

}  // namespace korrin

#endif  // KORRIN_CLI_PORT_CHOICE_H
