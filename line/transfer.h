// A whole transfer over the serial port: the loop that joins the port and a
// protocol.  It sends what the protocol gives, waits for an answer no longer
// than the protocol allows, feeds the protocol what came, and repeats.  It
// prints nothing: it reports progress through a callback and says how the
// transfer ended in its result, and the program words the messages.

#ifndef KORRIN_LINE_TRANSFER_H
#define KORRIN_LINE_TRANSFER_H

#include "kermit.h"
#include "port.h"
#include "xmodem.h"

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace korrin {

// The protocol asked for: Kermit or XModem alone, or whichever the
// calculator waits in, found by asking.
enum class line_protocol { kermit, xmodem, any };

// How the calculator waits: in its Kermit server or RECV (RECN), in XRECV
// (which asks with 'D' by itself), or in its XModem server (which says
// nothing until asked; the 49g+, 50g and 48gII).
enum class calculator_wait { unknown, kermit, xrecv, xmodem_server };

// Called after each acknowledged packet or block with the bytes done so
// far and the total, 0 when the total is not known (a receiver's).
using line_progress = std::function<void(std::size_t done, std::size_t total)>;

// The timing both protocols keep; the defaults suit the calculator, tests
// shorten them.
struct line_timing {
    kermit_limits kermit;
    xmodem_limits xmodem;
    // Seconds for a server's answer to a command (the directory request,
    // finish, the XModem server's commands).  The server answers at once;
    // RECV, which has ended by the time the check asks, never does.
    unsigned check_wait = 2;
    unsigned probe_wait = 1;      // seconds between the asks that find how the calculator waits
    unsigned find_wait = 30;      // seconds of asking before the calculator counts as not waiting
};

struct send_options {
    line_protocol protocol = line_protocol::any;
    bool finish = false;          // end the calculator's server afterwards
    // Set by the program's signal handler to stop the transfer: the loop
    // looks at it at least five times a second, then tells the other side
    // (an E packet, or CANs) and ends as interrupted.
    const volatile std::sig_atomic_t* abort = nullptr;
    line_progress progress;
    std::function<void()> checking;   // called as the check begins
    line_timing timing;
};

struct receive_options {
    line_protocol protocol = line_protocol::kermit;
    std::string get;              // the variable to ask a server for; empty to wait for SEND or XSEND
    const volatile std::sig_atomic_t* abort = nullptr;
    line_progress progress;
    line_timing timing;
};

// The line as a transfer sees it: the port's read and write (as
// read_port and write_port do them) and a clock.  port_line gives those of
// a serial port; tests give a peer of their own and a clock that moves
// only as they say, so that the rules of timing are tried in milliseconds.
using line_clock = std::chrono::steady_clock;
struct line_io {
    std::function<std::error_code(unsigned char* buffer, std::size_t size, std::chrono::milliseconds wait,
                                  std::size_t& got)>
        read;
    std::function<std::error_code(const unsigned char* bytes, std::size_t size)> write;
    std::function<line_clock::time_point()> now;
};

line_io port_line(serial_port& port);

// How a transfer ended.
enum class transfer_end {
    done,              // all of it went across and the other side acknowledged the end
    no_answer,         // nothing came back at all: the calculator is not in its server,
                       // RECV or XRECV, or not at this speed, or not on this port
    too_many_retries,  // the calculator answered, then packets kept failing or stopped
    peer_error,        // the calculator sent an E packet; peer_text holds its text as it came
    cancelled,         // the XModem peer sent CAN CAN, or the Kermit receiver gave the file up
    too_large,         // the other side sent more than any object holds; it was stopped
    missing,           // the server has no variable of the name asked for
    refused,           // what korrin does not take (several files for XRECV, a name that
                       // does not fit a packet, an unreadable listing); peer_text says what
    line_cut,          // reading or writing the port failed; error holds the port's code
    interrupted,       // the abort flag was set; the other side was told
};

// What the calculator's server says it holds under the name sent.
enum class check_outcome {
    not_asked,         // no check asked for, XModem, or the transfer failed
    unanswered,        // no directory came back (RECV answers none), it was unreadable,
                       // or the line was cut or the user stopped the check
    absent,            // the directory has no entry of that name
    found,             // entry_type and entry_checksum hold the entry's figures
};

// A file to send: the name the calculator stores it under (Kermit and
// the XModem server; XModem to XRECV carries none), and the whole object
// file, which the caller keeps alive.
struct outgoing_file {
    std::string name;
    std::string_view object;
};

// What the server says it holds after a send, for one file sent.
struct sent_file {
    check_outcome check = check_outcome::not_asked;
    std::string entry_name;           // where it went (the XModem server stores a taken NAME as NAME.1)
    std::string entry_type;
    std::uint32_t entry_checksum = 0;
    std::uint32_t sent_checksum = 0;  // the BYTES checksum of the object sent
};

// A file received whole: the name the sender gave (none by XModem), and
// its bytes.
struct received_file {
    std::string name;
    std::string bytes;
};

struct transfer_result {
    transfer_end end = transfer_end::done;
    std::string peer_text;
    std::error_code error;
    std::size_t files_done = 0;       // files sent or received whole, before any failure
    std::vector<sent_file> sent;      // a send's files, with the check of each
    bool server_finished = false;     // the server acknowledged the finish command
    calculator_wait way = calculator_wait::unknown;  // where the calculator was found waiting
};

// One variable of a server's directory, as --list shows it: its name in
// the calculator's characters, its kind (the calculator's words from the
// Kermit server, "String"; the prolog's low 16 bits from the XModem
// server, `prolog`), its size in bytes as BYTES shows it (halves as .5),
// and its BYTES checksum.
struct listed_variable {
    std::string name;
    std::string type;
    std::uint32_t prolog = 0;
    std::string size;
    std::uint32_t checksum = 0;
};

// Whether the check found the object as it was sent: a String whose
// checksum is the one BYTES shows for what was sent.
bool held_as_sent(const sent_file& file);

// Sends the files over `port`: to the Kermit server or RECV in one batch,
// to the XModem server one after the other, to XRECV only one.
transfer_result send_objects(line_io& port, const send_options& options, const std::vector<outgoing_file>& files);

// Receives the files of one transfer over `port`, into `files`: a batch by
// Kermit, one by XModem.  An XModem transfer of a string object is cut at
// the object's own length, which drops the padding of its last block.
transfer_result receive_objects(line_io& port, const receive_options& options, std::vector<received_file>& files);

// The variables of the calculator's current directory, from whichever
// server it waits in.
transfer_result list_variables(line_io& port, const receive_options& options,
                               std::vector<listed_variable>& variables);

}  // namespace korrin

#endif  // KORRIN_LINE_TRANSFER_H
