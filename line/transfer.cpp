#include "transfer.h"

#include "directory.h"
#include "string_object.h"

#include <algorithm>
#include <chrono>

namespace korrin {

namespace {

using clock_type = std::chrono::steady_clock;

// Reads wait no longer than this at a time, so that an abort asked for by a
// signal is seen at once on every system, even where a signal does not cut
// a read short.
constexpr std::chrono::milliseconds read_slice{200};
constexpr std::size_t read_buffer_size = 2048;
constexpr std::chrono::milliseconds abort_grace{1000};

// What the E packet says when the user stops a transfer.
constexpr std::string_view interrupted_text = "Interrupted";

// The server's directory request and finish command, generic commands
// with these letters.
constexpr std::string_view directory_command = "D";
constexpr std::string_view finish_command = "F";
constexpr std::string_view string_type = "String";

struct line_watch {
    const volatile std::sig_atomic_t* abort;
    const line_progress* progress;
};

bool abort_asked(const line_watch& watch)
{
    return watch.abort != nullptr && *watch.abort != 0;
}

void report(const line_watch& watch, std::size_t& reported, std::size_t done, std::size_t total)
{
    if (done == reported || watch.progress == nullptr || !*watch.progress)
        return;
    reported = done;
    (*watch.progress)(done, total);
}

std::error_code send(serial_port& port, const std::string& bytes)
{
    return write_port(port, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

transfer_end kermit_outcome(kermit_end end)
{
    switch (end) {
    case kermit_end::done: return transfer_end::done;
    case kermit_end::peer_error: return transfer_end::peer_error;
    case kermit_end::no_answer: return transfer_end::no_answer;
    case kermit_end::too_many_retries: return transfer_end::too_many_retries;
    case kermit_end::refused: return transfer_end::refused;
    case kermit_end::cancelled: return transfer_end::cancelled;
    case kermit_end::too_large: return transfer_end::too_large;
    default: return transfer_end::interrupted;
    }
}

transfer_end xmodem_outcome(xmodem_end end)
{
    switch (end) {
    case xmodem_end::done: return transfer_end::done;
    case xmodem_end::no_answer: return transfer_end::no_answer;
    case xmodem_end::too_many_retries: return transfer_end::too_many_retries;
    case xmodem_end::cancelled: return transfer_end::cancelled;
    case xmodem_end::too_large: return transfer_end::too_large;
    default: return transfer_end::interrupted;
    }
}

std::size_t kermit_done(const kermit_session& session)
{
    return session.object.empty() ? session.received.size() : session.acknowledged;
}

// Feeds the session every packet, whole or damaged, that `inbox` holds,
// and gives what the session sends in answer.
std::string feed_kermit(kermit_session& session, std::string& inbox)
{
    std::string out;
    while (!kermit_finished(session)) {
        kermit_scan scan = scan_kermit_packet(inbox, kermit_check_type(session));
        inbox.erase(0, scan.used);
        if (scan.status == kermit_scan_status::incomplete)
            break;
        kermit_arrival arrival;
        arrival.kind = scan.status == kermit_scan_status::whole ? kermit_arrival_kind::packet
                                                                : kermit_arrival_kind::damaged;
        arrival.packet = std::move(scan.packet);
        out += kermit_step(session, arrival);
    }
    return out;
}

// Writes what the protocol gives, if anything, and starts a new wait of
// `seconds` for the answer; false when the line failed.
bool send_pending(serial_port& port, std::string& out, unsigned seconds, clock_type::time_point& deadline,
                  transfer_result& result)
{
    if (out.empty())
        return true;
    if ((result.error = send(port, out))) {
        result.end = transfer_end::line_cut;
        return false;
    }
    out.clear();
    deadline = clock_type::now() + std::chrono::seconds(seconds);
    return true;
}

// Reads what comes before `deadline`, a slice at a time; false when the line
// failed.
bool read_until(serial_port& port, clock_type::time_point deadline, unsigned char (&buffer)[read_buffer_size],
                std::size_t& got, transfer_result& result)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    if ((result.error = read_port(port, buffer, sizeof buffer, std::clamp(left, std::chrono::milliseconds{0}, read_slice), got))) {
        result.end = transfer_end::line_cut;
        return false;
    }
    return true;
}

// Runs a Kermit session to its end: send what it gives, wait for a packet
// no longer than the other side's TIME, feed the session what came (or the
// end of the wait), repeat.
transfer_result run_kermit(serial_port& port, kermit_session& session, const line_watch& watch)
{
    transfer_result result;
    std::string inbox;
    std::size_t reported = 0;
    std::string out = kermit_begin(session);
    auto deadline = clock_type::now() + std::chrono::seconds(kermit_wait_seconds(session));
    for (;;) {
        if (!send_pending(port, out, kermit_wait_seconds(session), deadline, result))
            return result;
        report(watch, reported, kermit_done(session), session.object.size());
        if (kermit_finished(session))
            break;
        unsigned char buffer[read_buffer_size];
        std::size_t got = 0;
        if (abort_asked(watch)) {
            // A receiver such as gkermit reads a packet and drops whatever
            // came after it in the same read, and takes an E packet only
            // under the number it expects next; so the E packet waits for
            // the answer to the packet in flight, which moves the number
            // on.  The line may be what failed, so the E packet is a
            // courtesy.
            if (!read_port(port, buffer, sizeof buffer, abort_grace, got)) {
                inbox.append(reinterpret_cast<const char*>(buffer), got);
                feed_kermit(session, inbox);
            }
            (void)send(port, kermit_abort(session, interrupted_text));
            break;
        }

        if (!read_until(port, deadline, buffer, got, result))
            return result;
        inbox.append(reinterpret_cast<const char*>(buffer), got);
        out += feed_kermit(session, inbox);
        if (out.empty() && !kermit_finished(session) && clock_type::now() >= deadline) {
            out = kermit_step(session, kermit_arrival{});
            // A step that sends nothing still starts a new wait.
            deadline = clock_type::now() + std::chrono::seconds(kermit_wait_seconds(session));
        }
    }
    result.end = kermit_outcome(session.end);
    result.peer_text = session.error_text;
    result.bytes = kermit_done(session);
    return result;
}

// Runs an XModem session the same way, byte by byte.  Every byte that
// comes starts the wait again, since a block of 1024 bytes takes seconds
// at the lower speeds.
transfer_result run_xmodem(serial_port& port, xmodem_session& session, const line_watch& watch)
{
    transfer_result result;
    std::size_t reported = 0;
    auto step = session.sends ? xmodem_send_step : xmodem_receive_step;
    std::string out = xmodem_begin(session);
    auto deadline = clock_type::now() + std::chrono::seconds(xmodem_wait_seconds(session));
    for (;;) {
        if (!send_pending(port, out, xmodem_wait_seconds(session), deadline, result))
            return result;
        report(watch, reported, session.sends ? session.acknowledged : session.received.size(),
               session.object.size());
        if (xmodem_finished(session))
            break;
        if (abort_asked(watch)) {
            (void)send(port, xmodem_abort(session));
            break;
        }

        unsigned char buffer[read_buffer_size];
        std::size_t got = 0;
        if (!read_until(port, deadline, buffer, got, result))
            return result;
        if (got > 0)
            deadline = clock_type::now() + std::chrono::seconds(xmodem_wait_seconds(session));
        for (std::size_t i = 0; i < got && !xmodem_finished(session); ++i)
            out += step(session, xmodem_arrival{false, buffer[i]});
        if (out.empty() && !xmodem_finished(session) && clock_type::now() >= deadline) {
            out = step(session, xmodem_arrival{});
            deadline = clock_type::now() + std::chrono::seconds(xmodem_wait_seconds(session));
        }
    }
    result.end = xmodem_outcome(session.end);
    result.bytes = session.sends ? session.acknowledged : session.received.size();
    return result;
}

// The checksum BYTES shows for the object in the object file `object`: the
// CRC of everything after the header.
std::uint32_t bytes_checksum(std::string_view object)
{
    if (object.size() < header_size)
        return 0;
    return crc_update(0, reinterpret_cast<const unsigned char*>(object.data()) + header_size,
                      object.size() - header_size);
}

// A generic command to the server, with one resend and a short wait: the
// calculator's server answers at once, and RECV, which has ended by now,
// answers never.
transfer_result ask_server(serial_port& port, std::string_view command, const send_options& options,
                           const line_watch& watch, std::string& reply)
{
    kermit_limits limits = options.timing.kermit;
    limits.retry_limit = 1;
    limits.first_wait = options.timing.check_wait;
    kermit_session session = command_session('G', command, kermit_parameters{}, limits);
    transfer_result result = run_kermit(port, session, line_watch{watch.abort, nullptr});
    reply = session.received;
    return result;
}

// The object is across by now, so a line that is cut during the check (as
// when the far end hangs up once its receiver ends) or a user who stops it
// leaves the transfer done and unchecked.  Gives how the asking ended.
transfer_end check_on_server(serial_port& port, const send_options& options, const line_watch& watch,
                             transfer_result& result)
{
    std::string reply;
    transfer_result asked = ask_server(port, directory_command, options, watch, reply);
    result.check = check_outcome::unanswered;
    if (asked.end != transfer_end::done)
        return asked.end;
    directory_entry entry = find_directory_entry(reply, options.name);
    if (entry.lookup == directory_lookup::absent)
        result.check = check_outcome::absent;
    if (entry.lookup == directory_lookup::found) {
        result.check = check_outcome::found;
        result.entry_type = entry.type;
        result.entry_checksum = entry.checksum;
    }
    return asked.end;
}

// An XModem transfer pads the last block (the calculator's XSEND with
// whatever memory follows the object), so a string object is cut at its
// own length.  Anything else is left as it came for the program to judge.
void cut_padding(std::string& object)
{
    if (object.size() < string_head_size || !is_object_header(std::string_view(object).substr(0, header_size)))
        return;
    auto field = reinterpret_cast<const unsigned char*>(object.data()) + header_size;
    std::uint32_t length = object_length(field);
    if (object_prolog(field) != string_prolog || length < empty_string_length || length % 2 == 0)
        return;
    std::uintmax_t whole = string_head_size + string_size(length);
    if (whole < object.size())
        object.resize(static_cast<std::size_t>(whole));
}

}  // namespace

bool held_as_sent(const transfer_result& result)
{
    return result.check == check_outcome::found && result.entry_type == string_type
           && result.entry_checksum == result.sent_checksum;
}

transfer_result send_object(serial_port& port, const send_options& options, std::string_view object)
{
    line_watch watch{options.abort, &options.progress};
    transfer_result result;
    if (options.protocol == line_protocol::xmodem) {
        xmodem_session session = xmodem_send_session(object, options.timing.xmodem);
        result = run_xmodem(port, session, watch);
    } else {
        kermit_session session = send_session(options.name, object, kermit_parameters{}, options.timing.kermit);
        result = run_kermit(port, session, watch);
        result.stored_name = session.stored_name;
    }
    result.sent_checksum = bytes_checksum(object);
    if (result.end != transfer_end::done || options.protocol != line_protocol::kermit)
        return result;
    transfer_end asked = options.check ? check_on_server(port, options, watch, result) : transfer_end::done;
    if (options.finish && asked != transfer_end::line_cut && asked != transfer_end::interrupted) {
        std::string reply;
        result.server_finished = ask_server(port, finish_command, options, watch, reply).end == transfer_end::done;
    }
    return result;
}

transfer_result receive_object(serial_port& port, const receive_options& options, std::string& name,
                               std::string& object)
{
    line_watch watch{options.abort, &options.progress};
    transfer_result result;
    if (options.protocol == line_protocol::xmodem) {
        xmodem_session session = xmodem_receive_session(options.timing.xmodem);
        result = run_xmodem(port, session, watch);
        name.clear();
        object = std::move(session.received);
        cut_padding(object);
        return result;
    }
    kermit_session session = options.get.empty()
                                 ? receive_session(kermit_parameters{}, options.timing.kermit)
                                 : command_session('R', options.get, kermit_parameters{}, options.timing.kermit);
    result = run_kermit(port, session, watch);
    name = session.received_name;
    object = std::move(session.received);
    return result;
}

}  // namespace korrin
