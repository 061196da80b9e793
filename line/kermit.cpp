#include "kermit.h"

#include "string_object.h"
#include "text_forms.h"

#include <algorithm>

namespace korrin {

namespace {

// Numbers travel as printable characters: tochar adds the space, unchar
// takes it off, and ctl flips the bit that turns a control character into a
// printable one and back.
constexpr unsigned char printable_offset = 32;
constexpr unsigned char control_flip = 64;
constexpr unsigned sequence_modulus = 64;
constexpr unsigned char eighth_bit = 0x80;
constexpr unsigned char low_seven_bits = 0x7F;
constexpr unsigned char delete_char = 127;

// A packet carries SEQ and TYPE besides its data and check, and LEN counts
// them too.
constexpr unsigned seq_and_type = 2;
// MARK and LEN stand before what LEN counts.
constexpr std::size_t mark_and_len = 2;

// The protocol's defaults for fields a Send-Init leaves out.
constexpr unsigned default_maxl = 80;
constexpr unsigned char no_prefix = ' ';
constexpr unsigned char willing = 'Y';
constexpr unsigned char unwilling = 'N';

// A packet shorter than this cannot carry one prefixed byte with a repeat
// count and an eighth-bit prefix behind the longest check; a peer announcing
// less is taken at this length.
constexpr unsigned shortest_usable_packet = 12;

// Runs of at least this many equal bytes go as one repeat count, when both
// sides agreed to repeat counts; shorter runs would take no less room.
constexpr std::size_t shortest_run = 4;
constexpr std::size_t longest_run = kermit_longest_packet;

// The fields of a Send-Init, by position.
enum send_init_field_index : std::size_t {
    field_maxl, field_time, field_npad, field_padc, field_eol,
    field_qctl, field_qbin, field_chkt, field_rept, send_init_fields,
};

unsigned char tochar(unsigned value) { return static_cast<unsigned char>(value + printable_offset); }
unsigned unchar(unsigned char c) { return c >= printable_offset ? unsigned{c} - printable_offset : 0u; }
unsigned char ctl(unsigned char c) { return static_cast<unsigned char>(c ^ control_flip); }

unsigned check_length(unsigned check_type) { return check_type; }

// The block check over LEN..DATA, as one to three printable characters.
std::string block_check(std::string_view covered, unsigned check_type)
{
    std::string check;
    if (check_type == 3) {
        auto crc = crc_update(0, reinterpret_cast<const unsigned char*>(covered.data()), covered.size());
        check += static_cast<char>(tochar((crc >> 12) & 0x0Fu));
        check += static_cast<char>(tochar((crc >> 6) & 0x3Fu));
        check += static_cast<char>(tochar(crc & 0x3Fu));
        return check;
    }
    unsigned sum = 0;
    for (char c : covered)
        sum += static_cast<unsigned char>(c);
    if (check_type == 2) {
        sum &= 0x0FFFu;
        check += static_cast<char>(tochar((sum >> 6) & 0x3Fu));
        check += static_cast<char>(tochar(sum & 0x3Fu));
        return check;
    }
    // Type 1 folds the top two bits of the low byte of the sum back in,
    // so that every bit of every character counts.
    check += static_cast<char>(tochar((sum + ((sum & 0xC0u) >> 6)) & 0x3Fu));
    return check;
}

bool is_prefix_char(unsigned char c)
{
    return (c >= 33 && c <= 62) || (c >= 96 && c <= 126);
}

unsigned char field_at(std::string_view field, std::size_t index, unsigned char missing)
{
    return index < field.size() ? static_cast<unsigned char>(field[index]) : missing;
}

// One byte as it goes in a data field, without a repeat count.
std::string encoded_byte(unsigned char b, const kermit_agreement& agreement)
{
    std::string out;
    if (agreement.qbin != 0 && (b & eighth_bit) != 0) {
        out += static_cast<char>(agreement.qbin);
        b = static_cast<unsigned char>(b & low_seven_bits);
    }
    unsigned char low = static_cast<unsigned char>(b & low_seven_bits);
    if (low < printable_offset || low == delete_char) {
        out += static_cast<char>(agreement.qctl);
        out += static_cast<char>(ctl(b));
    } else if (low == agreement.qctl || (agreement.qbin != 0 && low == agreement.qbin)
               || (agreement.rept != 0 && low == agreement.rept)) {
        out += static_cast<char>(agreement.qctl);
        out += static_cast<char>(b);
    } else {
        out += static_cast<char>(b);
    }
    return out;
}

std::string packet_bytes(kermit_session& session, char type, unsigned seq, std::string data,
                         unsigned check_type)
{
    session.last_sent = kermit_packet_bytes(kermit_packet{type, seq, std::move(data)}, check_type);
    return session.last_sent;
}

std::size_t data_room(const kermit_session& session)
{
    return session.agreement.send_maxl - seq_and_type - check_length(session.agreement.check_type);
}

std::string encoded_text(const kermit_session& session, std::string_view text)
{
    std::size_t taken = 0;
    return kermit_encode(text, 0, data_room(session), session.agreement, taken);
}

std::string end_session(kermit_session& session, kermit_end end, std::string_view text, bool tell_peer)
{
    session.phase = kermit_phase::failed;
    session.end = end;
    session.error_text = std::string(text);
    if (!tell_peer)
        return {};
    return packet_bytes(session, 'E', session.seq, encoded_text(session, text),
                        session.agreement.check_type);
}

std::string finish(kermit_session& session)
{
    session.phase = kermit_phase::done;
    session.end = kermit_end::done;
    return {};
}

// The same packet again after a NAK, a damaged answer or a timeout, until
// the retries run out.  Then an E packet tells the other side we stop, in
// case it is still listening.
std::string resend(kermit_session& session)
{
    if (++session.retries > session.limits.retry_limit)
        return end_session(session,
                           session.answered ? kermit_end::too_many_retries : kermit_end::no_answer,
                           "Too many retries", true);
    return session.last_sent;
}

unsigned next_seq(unsigned seq) { return (seq + 1) % sequence_modulus; }
unsigned previous_seq(unsigned seq) { return (seq + sequence_modulus - 1) % sequence_modulus; }

// The file header of the file to send now, as packet `seq`.
std::string file_header(kermit_session& session)
{
    std::size_t taken = 0;
    std::string field = kermit_encode(session.name, 0, data_room(session), session.agreement, taken);
    if (taken < session.name.size())
        return end_session(session, kermit_end::refused, "Name too long", true);
    session.phase = kermit_phase::file_header;
    return packet_bytes(session, 'F', session.seq, field, session.agreement.check_type);
}

// The batch's next file, from its header on.
std::string next_file(kermit_session& session)
{
    ++session.file;
    session.name = session.batch[session.file].name;
    session.object = session.batch[session.file].object;
    session.acknowledged = 0;
    session.in_flight_end = 0;
    return file_header(session);
}

// The next packet once the one in flight was acknowledged: a sender's next
// packet, or, for a command, the end with the server's short reply.
std::string send_next(kermit_session& session, const kermit_packet& ack)
{
    session.answered = true;
    session.retries = 0;
    switch (session.phase) {
    case kermit_phase::send_init:
        session.agreement = kermit_agree(session.ours, ack.data);
        session.seq = next_seq(session.seq);
        return file_header(session);
    case kermit_phase::file_header:
        session.phase = kermit_phase::file_data;
        break;
    case kermit_phase::file_data:
        // X (this file) or Z (the whole batch) in the acknowledgement: the
        // receiver gives the file up, and nothing it holds is whole.
        if (!ack.data.empty() && (ack.data[0] == 'X' || ack.data[0] == 'Z'))
            return end_session(session, kermit_end::cancelled, "Cancelled", true);
        session.acknowledged = session.in_flight_end;
        break;
    case kermit_phase::end_of_file:
        session.seq = next_seq(session.seq);
        if (session.file + 1 < session.batch.size())
            return next_file(session);
        session.phase = kermit_phase::end_of_batch;
        return packet_bytes(session, 'B', session.seq, {}, session.agreement.check_type);
    case kermit_phase::command:
        session.received = kermit_decode(ack.data, session.agreement);
        return finish(session);
    case kermit_phase::end_of_batch:
        return finish(session);
    default:
        return {};
    }
    session.seq = next_seq(session.seq);
    if (session.acknowledged >= session.object.size()) {
        session.phase = kermit_phase::end_of_file;
        return packet_bytes(session, 'Z', session.seq, {}, session.agreement.check_type);
    }
    std::size_t taken = 0;
    std::string field = kermit_encode(session.object, session.acknowledged, data_room(session),
                                      session.agreement, taken);
    session.in_flight_end = session.acknowledged + taken;
    return packet_bytes(session, 'D', session.seq, field, session.agreement.check_type);
}

std::string ack(kermit_session& session, unsigned seq)
{
    return packet_bytes(session, 'Y', seq, {}, session.agreement.check_type);
}

// A NAK for a packet that brings no progress counts against the retries,
// so that a sender repeating what is not taken cannot go on for ever.
std::string nak(kermit_session& session)
{
    if (++session.retries > session.limits.retry_limit)
        return end_session(session, kermit_end::too_many_retries, "Too many retries", true);
    return packet_bytes(session, 'N', session.seq, {}, session.agreement.check_type);
}

// The receiver's answer to a Send-Init: our parameters, shaped by the
// sender's, in an acknowledgement with block check type 1.  From the next
// packet on both sides use the agreed type.
std::string accept_send_init(kermit_session& session, const kermit_packet& packet)
{
    kermit_parameters reply = receiver_reply(session.ours, packet.data);
    session.agreement = kermit_agree(reply, packet.data);
    session.answered = true;
    session.retries = 0;
    session.phase = kermit_phase::receive_file;
    session.seq = next_seq(packet.seq);
    return packet_bytes(session, 'Y', packet.seq, send_init_field(reply), 1);
}

// A sender, or a command to a server, waits for the answer to its packet in
// flight: the same packet again after a NAK, damage or silence, the next
// one after its ACK.
std::string sender_step(kermit_session& session, const kermit_arrival& arrival)
{
    if (arrival.kind != kermit_arrival_kind::packet)
        return resend(session);
    const kermit_packet& packet = arrival.packet;
    switch (packet.type) {
    case 'E':
        return end_session(session, kermit_end::peer_error, kermit_decode(packet.data, session.agreement), false);
    case 'Y':
        return packet.seq == session.seq ? send_next(session, packet) : std::string{};
    case 'N':
        // A NAK for the packet after ours says ours arrived and its ACK was
        // lost; the ACK of a Send-Init, though, carries the receiver's
        // parameters, and that of a command the server's reply.
        if (packet.seq == next_seq(session.seq) && session.phase != kermit_phase::send_init
            && session.phase != kermit_phase::command)
            return send_next(session, kermit_packet{'Y', session.seq, {}});
        session.answered = true;
        return resend(session);
    case 'S':
        // A server answers a command with a transfer of its own.
        return session.phase == kermit_phase::command ? accept_send_init(session, packet) : std::string{};
    default:
        return {};
    }
}

std::string receiver_timeout(kermit_session& session)
{
    if (session.phase == kermit_phase::receive_init) {
        if (++session.retries > session.limits.start_tries)
            return end_session(session, kermit_end::no_answer, "No Send-Init", false);
        return packet_bytes(session, 'N', session.seq, {}, 1);
    }
    return nak(session);
}

std::string receiver_step(kermit_session& session, const kermit_arrival& arrival)
{
    if (arrival.kind != kermit_arrival_kind::packet)
        return receiver_timeout(session);
    const kermit_packet& packet = arrival.packet;
    if (packet.type == 'E')
        return end_session(session, kermit_end::peer_error, kermit_decode(packet.data, session.agreement), false);
    if (session.phase == kermit_phase::receive_init)
        return packet.type == 'S' ? accept_send_init(session, packet) : std::string{};
    if (packet.seq == previous_seq(session.seq)) {
        // Our acknowledgement was lost and the sender repeats its packet.
        if (++session.retries > session.limits.retry_limit)
            return end_session(session, kermit_end::too_many_retries, "Too many retries", true);
        return session.last_sent;
    }
    if (packet.seq != session.seq)
        return receiver_timeout(session);

    switch (packet.type) {
    case 'F':
    case 'X':
        if (session.phase != kermit_phase::receive_file)
            return nak(session);
        // The calculator's SEND of a list sends a batch: the file before
        // this one is whole.
        if (session.file_seen)
            session.received_before.push_back({std::move(session.received_name), std::move(session.received)});
        session.received.clear();
        session.file_seen = true;
        session.received_name = kermit_decode(packet.data, session.agreement);
        session.phase = kermit_phase::receive_data;
        break;
    case 'A':
        break;
    case 'D': {
        if (session.phase != kermit_phase::receive_data)
            return nak(session);
        const std::string bytes = kermit_decode(packet.data, session.agreement);
        session.received += bytes;
        session.received_total += bytes.size();
        if (session.received.size() > kermit_most_bytes(session.received) || session.received_total > max_text_bytes)
            return end_session(session, kermit_end::too_large, "Too much data", true);
        break;
    }
    case 'Z':
        if (session.phase != kermit_phase::receive_data)
            return nak(session);
        // Z with data D says the sender gave the file up.
        if (kermit_decode(packet.data, session.agreement) == "D")
            return end_session(session, kermit_end::peer_error, "The sender discarded the file", false);
        session.phase = kermit_phase::receive_file;
        break;
    case 'B': {
        std::string out = ack(session, packet.seq);
        finish(session);
        return out;
    }
    default:
        return nak(session);
    }
    session.retries = 0;
    session.seq = next_seq(session.seq);
    return ack(session, packet.seq);
}

// A session that starts in `phase`, with our parameters and limits; the
// control prefix is ours until the other side's Send-Init agrees one.
kermit_session new_session(kermit_phase phase, const kermit_parameters& ours, const kermit_limits& limits)
{
    kermit_session session;
    session.phase = phase;
    session.ours = ours;
    session.limits = limits;
    session.agreement.qctl = ours.qctl;
    return session;
}

}  // namespace

std::size_t kermit_most_bytes(std::string_view start)
{
    return is_calculator_text(start) ? static_cast<std::size_t>(max_text_bytes) : largest_object_file;
}

std::string kermit_packet_bytes(const kermit_packet& packet, unsigned check_type)
{
    std::string bytes;
    bytes += static_cast<char>(kermit_mark);
    bytes += static_cast<char>(tochar(static_cast<unsigned>(seq_and_type + packet.data.size() + check_length(check_type))));
    bytes += static_cast<char>(tochar(packet.seq));
    bytes += packet.type;
    bytes += packet.data;
    bytes += block_check(std::string_view(bytes).substr(1), check_type);
    bytes += static_cast<char>(kermit_eol);
    return bytes;
}

kermit_scan scan_kermit_packet(std::string_view bytes, unsigned check_type)
{
    kermit_scan scan;
    std::size_t mark = bytes.find(static_cast<char>(kermit_mark));
    // What stands before a MARK is no packet: the EOL after the last one, or
    // noise on the line.
    scan.used = mark == std::string_view::npos ? bytes.size() : mark;
    if (mark == std::string_view::npos)
        return scan;
    // A MARK never stands inside a packet, since control characters are
    // prefixed: one that does starts the next packet, and this one lost
    // bytes on the way.
    std::size_t next_mark = bytes.find(static_cast<char>(kermit_mark), mark + 1);
    auto damaged_until = [&](std::size_t end) {
        scan.status = kermit_scan_status::damaged;
        scan.used = end;
        return scan;
    };
    if (bytes.size() < mark + mark_and_len)
        return scan;
    unsigned len = unchar(static_cast<unsigned char>(bytes[mark + 1]));
    if (len < seq_and_type + 1 || len > kermit_longest_packet)
        return damaged_until(mark + 1);
    std::size_t end = mark + mark_and_len + len;
    if (next_mark != std::string_view::npos && next_mark < end)
        return damaged_until(next_mark);
    if (bytes.size() < end)
        return scan;
    char type = bytes[mark + 3];
    unsigned type_of_check = type == 'S' ? 1 : check_type;
    if (len < seq_and_type + check_length(type_of_check))
        return damaged_until(end);
    std::size_t check_at = end - check_length(type_of_check);
    std::string_view covered = bytes.substr(mark + 1, check_at - mark - 1);
    if (block_check(covered, type_of_check) != bytes.substr(check_at, check_length(type_of_check)))
        return damaged_until(end);
    unsigned seq = unchar(static_cast<unsigned char>(bytes[mark + 2]));
    if (seq >= sequence_modulus)
        return damaged_until(end);
    scan.status = kermit_scan_status::whole;
    scan.packet.type = type;
    scan.packet.seq = seq;
    scan.packet.data = std::string(bytes.substr(mark + 4, check_at - mark - 4));
    scan.used = end;
    return scan;
}

std::string kermit_encode(std::string_view bytes, std::size_t from, std::size_t room,
                          const kermit_agreement& agreement, std::size_t& taken)
{
    std::string field;
    std::size_t at = from;
    while (at < bytes.size()) {
        unsigned char b = static_cast<unsigned char>(bytes[at]);
        std::size_t run = 1;
        if (agreement.rept != 0) {
            while (at + run < bytes.size() && run < longest_run && bytes[at + run] == bytes[at])
                ++run;
        }
        std::string one = encoded_byte(b, agreement);
        std::string piece;
        if (run >= shortest_run) {
            piece += static_cast<char>(agreement.rept);
            piece += static_cast<char>(tochar(static_cast<unsigned>(run)));
            piece += one;
        } else {
            run = 1;
            piece = one;
        }
        if (field.size() + piece.size() > room)
            break;
        field += piece;
        at += run;
    }
    taken = at - from;
    return field;
}

std::string kermit_decode(std::string_view field, const kermit_agreement& agreement)
{
    std::string bytes;
    std::size_t at = 0;
    auto next = [&]() { return static_cast<unsigned char>(field[at++]); };
    while (at < field.size()) {
        unsigned char c = next();
        std::size_t count = 1;
        if (agreement.rept != 0 && c == agreement.rept && at + 1 < field.size()) {
            count = unchar(next());
            c = next();
        }
        unsigned char high = 0;
        if (agreement.qbin != 0 && c == agreement.qbin && at < field.size()) {
            high = eighth_bit;
            c = next();
        }
        if (c == agreement.peer_qctl && at < field.size()) {
            c = next();
            // Only the characters ? @ A-Z [ \ ] ^ _ (with or without the
            // eighth bit) stand for control characters; behind the prefix
            // any other character stands for itself.
            unsigned char low = static_cast<unsigned char>(c & low_seven_bits);
            if (low >= '?' && low <= '_')
                c = ctl(c);
        }
        bytes.append(count, static_cast<char>(c | high));
    }
    return bytes;
}

std::string send_init_field(const kermit_parameters& ours)
{
    std::string field;
    field += static_cast<char>(tochar(ours.maxl));
    field += static_cast<char>(tochar(ours.time));
    field += static_cast<char>(tochar(ours.npad));
    field += static_cast<char>(ctl(ours.padc));
    field += static_cast<char>(tochar(ours.eol));
    field += static_cast<char>(ours.qctl);
    field += static_cast<char>(ours.qbin);
    field += static_cast<char>(ours.chkt);
    field += static_cast<char>(ours.rept);
    return field;
}

kermit_agreement kermit_agree(const kermit_parameters& ours, std::string_view theirs)
{
    kermit_agreement agreement;
    unsigned maxl = unchar(field_at(theirs, field_maxl, tochar(default_maxl)));
    if (maxl == 0)
        maxl = default_maxl;
    agreement.send_maxl = std::clamp(maxl, shortest_usable_packet, kermit_longest_packet);
    agreement.peer_time = unchar(field_at(theirs, field_time, tochar(0)));
    agreement.qctl = ours.qctl;
    agreement.peer_qctl = field_at(theirs, field_qctl, '#');

    unsigned char their_qbin = field_at(theirs, field_qbin, no_prefix);
    if (is_prefix_char(ours.qbin) && (their_qbin == willing || their_qbin == ours.qbin))
        agreement.qbin = ours.qbin;
    else if (is_prefix_char(their_qbin) && ours.qbin == willing)
        agreement.qbin = their_qbin;

    unsigned char their_chkt = field_at(theirs, field_chkt, '1');
    if (their_chkt == ours.chkt && their_chkt >= '1' && their_chkt <= '3')
        agreement.check_type = unsigned{their_chkt} - '0';

    unsigned char their_rept = field_at(theirs, field_rept, no_prefix);
    if (their_rept == ours.rept && is_prefix_char(their_rept) && their_rept != agreement.qctl
        && their_rept != agreement.peer_qctl && their_rept != agreement.qbin)
        agreement.rept = their_rept;
    return agreement;
}

kermit_parameters receiver_reply(const kermit_parameters& ours, std::string_view theirs)
{
    kermit_parameters reply = ours;
    unsigned char chkt = field_at(theirs, field_chkt, '1');
    reply.chkt = chkt >= '1' && chkt <= '3' ? chkt : '1';
    unsigned char rept = field_at(theirs, field_rept, no_prefix);
    reply.rept = is_prefix_char(rept) && rept != ours.qctl ? rept : no_prefix;
    // The line carries eight bits, so we never ask for the eighth-bit
    // prefix, but we follow a sender that wants it.
    reply.qbin = is_prefix_char(field_at(theirs, field_qbin, no_prefix)) ? willing : unwilling;
    return reply;
}

kermit_session send_session(std::string_view name, std::string_view object,
                            const kermit_parameters& ours, const kermit_limits& limits)
{
    return batch_session({{name, object}}, ours, limits);
}

kermit_session batch_session(std::vector<kermit_file> batch, const kermit_parameters& ours,
                             const kermit_limits& limits)
{
    kermit_session session = new_session(kermit_phase::send_init, ours, limits);
    session.batch = std::move(batch);
    session.name = session.batch.front().name;
    session.object = session.batch.front().object;
    return session;
}

kermit_session command_session(char type, std::string_view data,
                               const kermit_parameters& ours, const kermit_limits& limits)
{
    kermit_session session = new_session(kermit_phase::command, ours, limits);
    session.command_type = type;
    session.command_data = std::string(data);
    return session;
}

kermit_session receive_session(const kermit_parameters& ours, const kermit_limits& limits)
{
    return new_session(kermit_phase::receive_init, ours, limits);
}

std::string kermit_begin(kermit_session& session)
{
    switch (session.phase) {
    case kermit_phase::send_init:
        return packet_bytes(session, 'S', 0, send_init_field(session.ours), 1);
    case kermit_phase::command:
        return packet_bytes(session, session.command_type, 0, encoded_text(session, session.command_data), 1);
    default:
        return {};
    }
}

std::string kermit_step(kermit_session& session, const kermit_arrival& arrival)
{
    switch (session.phase) {
    case kermit_phase::send_init:
    case kermit_phase::file_header:
    case kermit_phase::file_data:
    case kermit_phase::end_of_file:
    case kermit_phase::end_of_batch:
    case kermit_phase::command:
        return sender_step(session, arrival);
    case kermit_phase::receive_init:
    case kermit_phase::receive_file:
    case kermit_phase::receive_data:
        return receiver_step(session, arrival);
    default:
        return {};
    }
}

std::string kermit_abort(kermit_session& session, std::string_view text)
{
    return end_session(session, kermit_end::aborted, text, true);
}

bool kermit_finished(const kermit_session& session)
{
    return session.phase == kermit_phase::done || session.phase == kermit_phase::failed;
}

unsigned kermit_check_type(const kermit_session& session)
{
    return session.agreement.check_type;
}

unsigned kermit_wait_seconds(const kermit_session& session)
{
    return session.agreement.peer_time != 0 ? session.agreement.peer_time : session.limits.first_wait;
}

}  // namespace korrin
