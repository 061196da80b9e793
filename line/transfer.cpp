#include "transfer.h"

#include "directory.h"
#include "string_object.h"
#include "xserver.h"

#include <algorithm>
#include <chrono>

namespace korrin {

namespace {


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

std::error_code send(line_io& port, const std::string& bytes)
{
    return port.write(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
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

// Feeds an XModem sender the bytes that came before it was made (its
// receiver's first ask among them), and gives what it sends in answer.
std::string feed_xmodem(xmodem_session& session, std::string_view inbox)
{
    std::string out;
    for (const char c : inbox)
        out += xmodem_send_step(session, xmodem_arrival{false, static_cast<unsigned char>(c)});
    return out;
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
bool send_pending(line_io& port, std::string& out, unsigned seconds, line_clock::time_point& deadline,
                  transfer_result& result)
{
    if (out.empty())
        return true;
    if ((result.error = send(port, out))) {
        result.end = transfer_end::line_cut;
        return false;
    }
    out.clear();
    deadline = port.now() + std::chrono::seconds(seconds);
    return true;
}

// Reads what comes before `deadline`, a slice at a time; false when the line
// failed.
bool read_until(line_io& port, line_clock::time_point deadline, unsigned char (&buffer)[read_buffer_size],
                std::size_t& got, transfer_result& result)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - port.now());
    if ((result.error = port.read(buffer, sizeof buffer, std::clamp(left, std::chrono::milliseconds{0}, read_slice), got))) {
        result.end = transfer_end::line_cut;
        return false;
    }
    return true;
}

// Runs a Kermit session to its end: send what it gives, wait for a packet
// no longer than the other side's TIME, feed the session what came (or the
// end of the wait), repeat.
transfer_result run_kermit(line_io& port, kermit_session& session, const line_watch& watch,
                           std::string out, std::string inbox = {})
{
    transfer_result result;
    std::size_t reported = 0;
    auto deadline = port.now() + std::chrono::seconds(kermit_wait_seconds(session));
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
            if (!port.read(buffer, sizeof buffer, abort_grace, got)) {
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
        if (out.empty() && !kermit_finished(session) && port.now() >= deadline) {
            out = kermit_step(session, kermit_arrival{});
            // A step that sends nothing still starts a new wait.
            deadline = port.now() + std::chrono::seconds(kermit_wait_seconds(session));
        }
    }
    result.end = kermit_outcome(session.end);
    result.peer_text = session.error_text;
    result.files_done = session.end == kermit_end::done ? session.batch.size() : session.file;
    return result;
}

// Runs an XModem session the same way, byte by byte.  Every byte that
// comes starts the wait again, since a block of 1024 bytes takes seconds
// at the lower speeds.
transfer_result run_xmodem(line_io& port, xmodem_session& session, const line_watch& watch, std::string out)
{
    transfer_result result;
    std::size_t reported = 0;
    auto step = session.sends ? xmodem_send_step : xmodem_receive_step;
    auto deadline = port.now() + std::chrono::seconds(xmodem_wait_seconds(session));
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
            deadline = port.now() + std::chrono::seconds(xmodem_wait_seconds(session));
        for (std::size_t i = 0; i < got && !xmodem_finished(session); ++i)
            out += step(session, xmodem_arrival{false, buffer[i]});
        if (out.empty() && !xmodem_finished(session) && port.now() >= deadline) {
            out = step(session, xmodem_arrival{});
            deadline = port.now() + std::chrono::seconds(xmodem_wait_seconds(session));
        }
    }
    result.end = xmodem_outcome(session.end);
    result.files_done = session.end == xmodem_end::done;
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

// A generic command to the server, sent once, with a short wait: the
// calculator's server answers at once, and RECV, which has ended by now,
// answers never, so the check gives up as soon as the server would have
// answered.
transfer_result ask_server(line_io& port, std::string_view command, const send_options& options,
                           const line_watch& watch, std::string& reply)
{
    kermit_limits limits = options.timing.kermit;
    limits.retry_limit = 0;
    limits.first_wait = options.timing.check_wait;
    kermit_session session = command_session('G', command, kermit_parameters{}, limits);
    transfer_result result = run_kermit(port, session, line_watch{watch.abort, nullptr}, kermit_begin(session));
    reply = session.received;
    return result;
}

// The objects are across by now, so a line that is cut during the check
// (as when the far end hangs up once its receiver ends) or a user who
// stops it leaves the transfer done and unchecked.  Gives how the asking
// ended.
transfer_end check_on_server(line_io& port, const send_options& options, const std::vector<outgoing_file>& files,
                             const line_watch& watch, transfer_result& result)
{
    std::string reply;
    transfer_result asked = ask_server(port, directory_command, options, watch, reply);
    for (std::size_t i = 0; i < files.size(); ++i) {
        sent_file& sent = result.sent[i];
        sent.check = check_outcome::unanswered;
        if (asked.end != transfer_end::done)
            continue;
        directory_entry entry = find_directory_entry(reply, files[i].name);
        if (entry.lookup == directory_lookup::absent)
            sent.check = check_outcome::absent;
        if (entry.lookup == directory_lookup::found) {
            sent.check = check_outcome::found;
            sent.entry_type = entry.type;
            sent.entry_checksum = entry.checksum;
        }
    }
    return asked.end;
}

// An XModem transfer pads the last block (the calculator's XSEND with
// whatever memory follows the object), so a string object is cut at its
// own length.  Anything else is left as it came for the program to judge.
void cut_padding(std::string& object)
{
    const string_head_reading head =
        string_head(reinterpret_cast<const unsigned char*>(object.data()), object.size());
    if (head.problem == head_problem::none && string_head_size + head.characters < object.size())
        object.resize(static_cast<std::size_t>(string_head_size + head.characters));
}

// ------------------------------------------------ the XModem server

// The low 16 bits of the string prolog, as the XModem server lists them.
constexpr std::uint32_t listed_string_prolog = string_prolog & 0xFFFF;
constexpr char ack_byte = static_cast<char>(xmodem_ack);
constexpr char nak_byte = static_cast<char>(xmodem_nak);

// Receives one object by XModem, without the padding its last block
// carries.
transfer_result receive_by_xmodem(line_io& port, const xmodem_limits& limits, const line_watch& watch,
                                  std::string& object)
{
    xmodem_session session = xmodem_receive_session(limits);
    transfer_result result = run_xmodem(port, session, watch, xmodem_begin(session));
    object = std::move(session.received);
    cut_padding(object);
    return result;
}

// Gives one command to the XModem server, and takes its answer: an ACK
// or, with `reply` asked for, a packet, acknowledged at once so that the
// server does not send it again into the next command.  A NAK or a
// damaged packet costs a retry, as silence does; a command that starts a
// transfer (P, G) is never sent twice, since the server may be in that
// transfer already.
transfer_end server_command(line_io& port, char command, const std::string* argument, std::string* reply,
                            const line_timing& timing, const line_watch& watch, transfer_result& result,
                            std::string& inbox)
{
    const std::string packet = argument ? xserver_packet(*argument) : std::string();
    std::string out = command + packet;
    inbox.clear();
    bool heard = false;
    const auto wait = std::chrono::seconds(timing.check_wait);
    for (unsigned tries = 0;; ++tries) {
        if (tries > timing.xmodem.retry_limit)
            return result.end = heard ? transfer_end::too_many_retries : transfer_end::no_answer;
        auto deadline = port.now() + wait;
        if (!send_pending(port, out, timing.check_wait, deadline, result))
            return result.end;
        for (;;) {
            if (abort_asked(watch))
                return result.end = transfer_end::interrupted;
            unsigned char buffer[read_buffer_size];
            std::size_t got = 0;
            if (!read_until(port, deadline, buffer, got, result))
                return result.end;
            heard = heard || got > 0;
            inbox.append(reinterpret_cast<const char*>(buffer), got);
            // What follows the ACK is the transfer's start; what comes
            // before it, or before a NAK, is noise, which neither waits
            // longer nor is kept.
            if (!reply) {
                const std::size_t ack = inbox.find(ack_byte);
                const bool nak = inbox.find(nak_byte) < ack;
                inbox.erase(0, ack == std::string::npos || nak ? inbox.size() : ack + 1);
                if (ack != std::string::npos && !nak)
                    return result.end = transfer_end::done;
                if (nak) {
                    out = packet;
                    break;
                }
            } else {
                // A reply carries its length, so it ends; the wait starts
                // again while its bytes come.
                if (got > 0)
                    deadline = port.now() + wait;
                xserver_scan scan = scan_xserver_packet(inbox);
                if (scan.status == xserver_scan_status::whole) {
                    *reply = std::move(scan.data);
                    result.error = send(port, std::string(1, ack_byte));
                    return result.end = result.error ? transfer_end::line_cut : transfer_end::done;
                }
                if (scan.status == xserver_scan_status::damaged) {
                    inbox.clear();
                    out = std::string(1, nak_byte);
                    break;
                }
            }
            if (port.now() >= deadline) {
                // Only a command that asks can be given again.
                if (!reply)
                    return result.end = heard ? transfer_end::too_many_retries : transfer_end::no_answer;
                inbox.clear();
                out = std::string(1, command);
                break;
            }
        }
    }
}

// The server's listing, newest variable first.
transfer_end server_listing(line_io& port, const line_timing& timing, const line_watch& watch,
                            std::vector<xserver_entry>& entries, transfer_result& result)
{
    std::string records, rest;
    if (server_command(port, xserver_list, nullptr, &records, timing, watch, result, rest) != transfer_end::done)
        return result.end;
    if (!read_xserver_listing(records, entries)) {
        result.peer_text = "an unreadable listing";
        return result.end = transfer_end::refused;
    }
    return result.end;
}

// Whether the server's `entry` is the object put under `name`: NAME, or
// NAME.1 (NAME.2 and so on) when NAME was taken.
bool stored_as(const std::string& entry, const std::string& name)
{
    if (entry.compare(0, name.size(), name) != 0)
        return false;
    const std::string_view suffix = std::string_view(entry).substr(name.size());
    return suffix.empty() || (suffix.size() > 1 && suffix[0] == '.' &&
                              suffix.find_first_not_of("0123456789", 1) == std::string_view::npos);
}

// Puts each object on the XModem server under its name, then finds where
// each went in the listing, newest first: NAME or, when NAME was there
// already, NAME.1.
transfer_result put_on_server(line_io& port, const send_options& options, const std::vector<outgoing_file>& files,
                              const line_watch& watch)
{
    transfer_result result;
    for (const outgoing_file& file : files) {
        std::string inbox;
        if (server_command(port, xserver_put, &file.name, nullptr, options.timing, watch, result, inbox) !=
            transfer_end::done)
            break;
        xmodem_limits limits = options.timing.xmodem;
        limits.start_wait = options.timing.check_wait + limits.ask_wait;
        xmodem_session session = xmodem_send_session(file.object, limits);
        const std::string out = feed_xmodem(session, inbox);
        const std::size_t done = result.files_done;
        result = run_xmodem(port, session, watch, out);
        result.files_done += done;
        if (result.end != transfer_end::done)
            break;
    }
    result.sent.resize(files.size());
    if (result.end != transfer_end::done)
        return result;
    if (options.checking)
        options.checking();
    std::vector<xserver_entry> entries;
    transfer_result listed;
    const bool answered = server_listing(port, options.timing, line_watch{watch.abort, nullptr}, entries, listed) ==
                          transfer_end::done;
    for (std::size_t i = 0; i < files.size(); ++i) {
        sent_file& sent = result.sent[i];
        sent.check = answered ? check_outcome::absent : check_outcome::unanswered;
        const std::string& name = files[i].name;
        for (const xserver_entry& entry : entries) {
            if (!stored_as(entry.name, name))
                continue;
            sent.check = check_outcome::found;
            sent.entry_name = entry.name;
            sent.entry_type = entry.prolog == listed_string_prolog ? string_type : "another kind";
            sent.entry_checksum = entry.checksum;
            break;
        }
    }
    if (options.finish)
        result.server_finished = !send(port, std::string(1, xserver_quit));
    return result;
}

// Gets the variable from the XModem server: looked up first, since asking
// for one that does not exist ends the server; then asked for with 'D'.
transfer_result get_from_server(line_io& port, const receive_options& options, std::string& object,
                                const line_watch& watch)
{
    transfer_result result;
    std::vector<xserver_entry> entries;
    if (server_listing(port, options.timing, line_watch{watch.abort, nullptr}, entries, result) != transfer_end::done)
        return result;
    if (std::none_of(entries.begin(), entries.end(), [&](const xserver_entry& e) { return e.name == options.get; })) {
        result.end = transfer_end::missing;
        return result;
    }
    std::string inbox;
    if (server_command(port, xserver_get, &options.get, nullptr, options.timing, watch, result, inbox) !=
        transfer_end::done)
        return result;
    xmodem_limits limits = options.timing.xmodem;
    limits.ask_with_d = true;
    return receive_by_xmodem(port, limits, watch, object);
}

// ------------------------------------------------ how the calculator waits

// Asks until the calculator answers, for at most the start wait: 'V' for
// the XModem server, whose other commands are letters the Send-Init
// packet `kermit_start` never holds, and, unless XModem alone was asked
// for, that packet for the Kermit server or RECV.  XRECV asks by itself,
// with 'D' (or C or NAK).  Gives the way found, with what came in
// `inbox` from the answer on; the XModem server's version reply is
// acknowledged.
calculator_wait find_the_wait(line_io& port, const std::string& kermit_start, unsigned seconds,
                              const line_timing& timing, const line_watch& watch, std::string& inbox,
                              transfer_result& result)
{
    const auto end = port.now() + std::chrono::seconds(seconds);
    inbox.clear();
    // The first round only listens: XRECV, started before, may be asking
    // already, and an ask of ours would reach it as a block's first byte.
    for (bool first = true; port.now() < end; first = false) {
        auto deadline = port.now() + std::chrono::seconds(timing.probe_wait);
        std::string out = first ? std::string() : std::string(1, xserver_version) + kermit_start;
        if (!send_pending(port, out, timing.probe_wait, deadline, result))
            return calculator_wait::unknown;
        while (port.now() < deadline) {
            if (abort_asked(watch)) {
                result.end = transfer_end::interrupted;
                return calculator_wait::unknown;
            }
            unsigned char buffer[read_buffer_size];
            std::size_t got = 0;
            if (!read_until(port, deadline, buffer, got, result))
                return calculator_wait::unknown;
            inbox.append(reinterpret_cast<const char*>(buffer), got);
            // What came is read from its first byte: a Kermit packet, the
            // server's version, XRECV's ask, or noise to drop.
            while (!inbox.empty()) {
                const auto lead = static_cast<unsigned char>(inbox[0]);
                if (lead == kermit_mark && !kermit_start.empty()) {
                    kermit_scan scan = scan_kermit_packet(inbox, 1);
                    if (scan.status == kermit_scan_status::incomplete)
                        break;
                    if (scan.status == kermit_scan_status::whole && (scan.packet.type == 'Y' || scan.packet.type == 'E'))
                        return calculator_wait::kermit;
                    inbox.erase(0, std::max<std::size_t>(scan.used, 1));
                    continue;
                }
                if (lead == 0) {
                    xserver_scan scan = scan_xserver_packet(inbox);
                    if (scan.status == xserver_scan_status::incomplete && inbox.size() < xserver_packet(xserver_version_reply).size())
                        break;
                    if (scan.status == xserver_scan_status::whole && scan.data.rfind(xserver_greeting, 0) == 0) {
                        inbox.erase(0, scan.used);
                        result.error = send(port, std::string(1, ack_byte));
                        return result.error ? calculator_wait::unknown : calculator_wait::xmodem_server;
                    }
                }
                if (lead == xmodem_ask_kermit_crc || lead == xmodem_ask_crc || lead == xmodem_nak)
                    return calculator_wait::xrecv;
                inbox.erase(0, 1);
            }
        }
    }
    result.end = transfer_end::no_answer;
    return calculator_wait::unknown;
}

// A size in bytes, halves as ".5", from nibbles.
std::string bytes_of_nibbles(std::uint32_t nibbles)
{
    return std::to_string(nibbles / 2) + (nibbles % 2 != 0 ? ".5" : ".");
}

// The object's size as BYTES shows it, from the Kermit server's size of
// the variable, which counts the name too: its length byte on either
// side, the name and a five-nibble link.  The size as it came when it is
// not a size.
std::string object_size(const std::string& size, const std::string& name)
{
    std::uint32_t nibbles = 0;
    std::size_t at = 0;
    for (; at < size.size() && size[at] >= '0' && size[at] <= '9' && nibbles < 0x100000; ++at)
        nibbles = nibbles * 10 + static_cast<std::uint32_t>(size[at] - '0');
    nibbles *= 2;
    const std::string_view rest = std::string_view(size).substr(at);
    nibbles += rest == ".5" ? 1u : 0u;
    const std::uint32_t name_nibbles = 2 * static_cast<std::uint32_t>(name.size()) + 9;
    if (at == 0 || (rest != "." && rest != ".5") || nibbles < name_nibbles)
        return size;
    return bytes_of_nibbles(nibbles - name_nibbles);
}

// Which server the calculator waits in, for a command: the XModem server
// answers 'V' at once; a Kermit server is then taken to wait, and its
// command packet finds out.  A command packet goes to the XModem server
// never, since a name in it may hold the letters of its commands.
calculator_wait find_server(line_io& port, const receive_options& options, const line_watch& watch,
                            transfer_result& result)
{
    if (options.protocol == line_protocol::kermit)
        return calculator_wait::kermit;
    std::string inbox;
    const unsigned asks = 2;
    const bool xmodem_alone = options.protocol == line_protocol::xmodem;
    calculator_wait way = find_the_wait(port, {}, xmodem_alone ? options.timing.find_wait : asks * options.timing.probe_wait,
                                        options.timing, watch, inbox, result);
    if (way == calculator_wait::unknown && result.end == transfer_end::no_answer && !xmodem_alone) {
        result.end = transfer_end::done;
        return calculator_wait::kermit;
    }
    if (way == calculator_wait::xrecv) {
        result.end = transfer_end::refused;
        result.peer_text = "the calculator waits in XRECV, not in a server";
        return calculator_wait::unknown;
    }
    return way;
}

}  // namespace

line_io port_line(serial_port& port)
{
    line_io line;
    line.read = [&port](unsigned char* buffer, std::size_t size, std::chrono::milliseconds wait, std::size_t& got) {
        return read_port(port, buffer, size, wait, got);
    };
    line.write = [&port](const unsigned char* bytes, std::size_t size) { return write_port(port, bytes, size); };
    line.now = [] { return line_clock::now(); };
    return line;
}

bool held_as_sent(const sent_file& file)
{
    return file.check == check_outcome::found && file.entry_type == string_type
           && file.entry_checksum == file.sent_checksum;
}

transfer_result send_objects(line_io& port, const send_options& options, const std::vector<outgoing_file>& files)
{
    line_watch watch{options.abort, &options.progress};
    transfer_result result;
    std::vector<kermit_file> batch;
    for (const outgoing_file& file : files)
        batch.push_back({file.name, file.object});
    kermit_session kermit = batch_session(batch, kermit_parameters{}, options.timing.kermit);
    const std::string kermit_start = kermit_begin(kermit);
    calculator_wait way = options.protocol == line_protocol::kermit ? calculator_wait::kermit : calculator_wait::unknown;
    std::string inbox;
    if (way == calculator_wait::unknown) {
        const bool kermit_too = options.protocol == line_protocol::any;
        way = find_the_wait(port, kermit_too ? kermit_start : std::string(), options.timing.find_wait, options.timing,
                            watch, inbox, result);
        if (way == calculator_wait::unknown)
            return result;
    }
    if (way == calculator_wait::xrecv && files.size() > 1) {
        // XRECV takes one object and ends.
        (void)send(port, std::string(8, static_cast<char>(xmodem_can)));
        result.end = transfer_end::refused;
        result.peer_text = "XRECV takes one file at a time";
    } else if (way == calculator_wait::xrecv) {
        xmodem_session session = xmodem_send_session(files.front().object, options.timing.xmodem);
        result = run_xmodem(port, session, watch, feed_xmodem(session, inbox));
    } else if (way == calculator_wait::xmodem_server) {
        result = put_on_server(port, options, files, watch);
    } else {
        result = run_kermit(port, kermit, watch, inbox.empty() ? kermit_start : std::string(), inbox);
    }
    result.way = way;
    result.sent.resize(files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        result.sent[i].sent_checksum = bytes_checksum(files[i].object);
    if (result.end != transfer_end::done || way != calculator_wait::kermit)
        return result;
    if (options.checking)
        options.checking();
    const transfer_end asked = check_on_server(port, options, files, watch, result);
    if (options.finish && asked != transfer_end::line_cut && asked != transfer_end::interrupted) {
        std::string reply;
        result.server_finished = ask_server(port, finish_command, options, watch, reply).end == transfer_end::done;
    }
    return result;
}

transfer_result receive_objects(line_io& port, const receive_options& options, std::vector<received_file>& files)
{
    line_watch watch{options.abort, &options.progress};
    transfer_result result;
    files.clear();
    // A variable asked for by name comes from whichever server waits.
    if (!options.get.empty() && options.protocol != line_protocol::kermit) {
        calculator_wait way = find_server(port, options, watch, result);
        if (way == calculator_wait::xmodem_server) {
            files.push_back({options.get, {}});
            result = get_from_server(port, options, files.back().bytes, watch);
        }
        if (way != calculator_wait::kermit) {
            result.way = way;
            return result;
        }
    }
    if (options.protocol == line_protocol::xmodem) {
        files.push_back({});
        return receive_by_xmodem(port, options.timing.xmodem, watch, files.back().bytes);
    }
    kermit_session session = options.get.empty()
                                 ? receive_session(kermit_parameters{}, options.timing.kermit)
                                 : command_session('R', options.get, kermit_parameters{}, options.timing.kermit);
    result = run_kermit(port, session, watch, kermit_begin(session));
    for (kermit_received& file : session.received_before)
        files.push_back({std::move(file.name), std::move(file.bytes)});
    files.push_back({std::move(session.received_name), std::move(session.received)});
    result.files_done = session.end == kermit_end::done ? files.size() : session.received_before.size();
    return result;
}

transfer_result list_variables(line_io& port, const receive_options& options,
                               std::vector<listed_variable>& variables)
{
    line_watch watch{options.abort, nullptr};
    transfer_result result;
    variables.clear();
    const calculator_wait way = find_server(port, options, watch, result);
    if (way == calculator_wait::xmodem_server) {
        std::vector<xserver_entry> entries;
        if (server_listing(port, options.timing, watch, entries, result) == transfer_end::done)
            for (const xserver_entry& entry : entries)
                variables.push_back({entry.name, "", entry.prolog, bytes_of_nibbles(entry.nibbles), entry.checksum});
        result.way = way;
        return result;
    }
    if (way != calculator_wait::kermit)
        return result;
    kermit_session session = command_session('G', directory_command, kermit_parameters{}, options.timing.kermit);
    result = run_kermit(port, session, watch, kermit_begin(session));
    result.way = way;
    std::vector<directory_line> lines;
    if (result.end != transfer_end::done)
        return result;
    if (!read_directory(session.received, lines)) {
        result.end = transfer_end::refused;
        result.peer_text = "an unreadable directory";
        return result;
    }
    for (directory_line& line : lines)
        variables.push_back({line.name, line.type, 0, object_size(line.size, line.name), line.checksum});
    return result;
}

}  // namespace korrin
