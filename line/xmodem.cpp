#include "xmodem.h"

#include "string_object.h"

namespace korrin {

namespace {

constexpr std::uint16_t xmodem_polynomial = 0x1021;
constexpr std::uint16_t crc_top_bit = 0x8000;
constexpr unsigned byte_bits = 8;
constexpr unsigned block_number_modulus = 256;
constexpr unsigned char byte_mask = 0xFF;

// Block number, its complement.
constexpr std::size_t block_head = 2;

// lrzsz and other receivers stop at two CANs in a row; more are sent so
// that a CAN lost to noise still leaves two.
constexpr std::size_t cancel_count = 8;

constexpr unsigned unanswered_eot_tries = 3;

// A receiver that sees a block after it asked with 'C' expects a CRC; a
// receiver that asked with NAK, the arithmetic checksum.
std::size_t check_size(xmodem_variant variant)
{
    return variant == xmodem_variant::checksum ? 1 : 2;
}

std::string block_check(xmodem_variant variant, std::string_view data)
{
    auto bytes = reinterpret_cast<const unsigned char*>(data.data());
    std::string check;
    if (variant == xmodem_variant::checksum) {
        unsigned sum = 0;
        for (char c : data)
            sum += static_cast<unsigned char>(c);
        check += static_cast<char>(sum & byte_mask);
        return check;
    }
    std::uint16_t crc = variant == xmodem_variant::kermit_crc ? crc_update(0, bytes, data.size())
                                                               : crc16_xmodem(0, bytes, data.size());
    check += static_cast<char>((crc >> byte_bits) & byte_mask);
    check += static_cast<char>(crc & byte_mask);
    return check;
}

std::string fail(xmodem_session& session, xmodem_end end, bool tell_peer)
{
    session.phase = xmodem_phase::failed;
    session.end = end;
    return tell_peer ? std::string(cancel_count, static_cast<char>(xmodem_can)) : std::string{};
}

// A byte that brings no progress counts as a wait that ran out, without
// an answer of its own.
std::string no_progress(xmodem_session& session)
{
    if (++session.retries > session.limits.retry_limit)
        return fail(session, session.answered ? xmodem_end::too_many_retries : xmodem_end::no_answer, true);
    return {};
}

// A wait that ran out, or a NAK: the last thing sent again, until the
// retries run out.
std::string resend(xmodem_session& session)
{
    std::string out = no_progress(session);
    return session.phase == xmodem_phase::failed ? out : session.last_sent;
}

// Blocks of 1024 bytes while a whole one remains, for the calculator's
// 'D'; then blocks of 128, so that fewer than 128 bytes of padding follow
// the object.
std::size_t block_size(const xmodem_session& session)
{
    std::size_t left = session.object.size() - session.acknowledged;
    bool long_blocks = session.variant == xmodem_variant::kermit_crc && left >= xmodem_long_block;
    return long_blocks ? xmodem_long_block : xmodem_short_block;
}

std::string next_block(xmodem_session& session)
{
    session.retries = 0;
    if (session.acknowledged >= session.object.size()) {
        session.phase = xmodem_phase::end_of_transfer;
        session.last_sent = std::string(1, static_cast<char>(xmodem_eot));
        return session.last_sent;
    }
    std::size_t size = block_size(session);
    std::string data(session.object.substr(session.acknowledged, size));
    session.in_flight_end = session.acknowledged + data.size();
    data.resize(size, static_cast<char>(xmodem_pad));
    std::string& block = session.last_sent;
    block.clear();
    block += static_cast<char>(size == xmodem_long_block ? xmodem_stx : xmodem_soh);
    block += static_cast<char>(session.block_number & byte_mask);
    block += static_cast<char>(~session.block_number & byte_mask);
    block += data;
    block += block_check(session.variant, data);
    session.phase = xmodem_phase::block;
    return block;
}

// Two CANs in a row end the transfer, from either side; any other byte
// breaks the run.
bool cancelled(xmodem_session& session, unsigned char byte)
{
    session.cancels = byte == xmodem_can ? session.cancels + 1 : 0;
    return session.cancels >= 2;
}

std::string ask(xmodem_session& session)
{
    if (++session.asks > session.limits.start_tries)
        return fail(session, xmodem_end::no_answer, false);
    bool crc = session.asks <= session.limits.crc_asks;
    session.variant = session.limits.ask_with_d ? xmodem_variant::kermit_crc
                      : crc                     ? xmodem_variant::crc
                                                : xmodem_variant::checksum;
    const unsigned char asked = session.limits.ask_with_d ? xmodem_ask_kermit_crc : crc ? xmodem_ask_crc : xmodem_nak;
    session.last_sent = std::string(1, static_cast<char>(asked));
    return session.last_sent;
}

std::string receiver_nak(xmodem_session& session)
{
    session.pending.clear();
    if (++session.retries > session.limits.retry_limit)
        return fail(session, xmodem_end::too_many_retries, true);
    return std::string(1, static_cast<char>(xmodem_nak));
}

// A whole block in `pending`: its opening byte, number, complement, data
// and check.
std::string take_block(xmodem_session& session)
{
    std::string_view block = session.pending;
    std::size_t size = block.size() - 1 - block_head - check_size(session.variant);
    auto number = static_cast<unsigned char>(block[1]);
    auto complement = static_cast<unsigned char>(block[2]);
    std::string_view data = block.substr(1 + block_head, size);
    if ((number ^ complement) != byte_mask || block_check(session.variant, data) != block.substr(1 + block_head + size))
        return receiver_nak(session);
    session.answered = true;
    unsigned expected = session.block_number & byte_mask;
    if (number == expected) {
        if (session.received.size() + data.size() > session.limits.most_bytes)
            return fail(session, xmodem_end::too_large, true);
        session.received += data;
        session.block_number = (session.block_number + 1) % block_number_modulus;
    } else if (number != ((expected + block_number_modulus - 1) & byte_mask)) {
        // Neither this block nor the last one again: the two sides no
        // longer agree on where they are, which no resend can mend.
        return fail(session, xmodem_end::too_many_retries, true);
    }
    session.pending.clear();
    session.retries = 0;
    session.phase = xmodem_phase::block;
    return std::string(1, static_cast<char>(xmodem_ack));
}

std::size_t block_size_for(unsigned char opener)
{
    return opener == xmodem_stx ? xmodem_long_block : xmodem_short_block;
}

}  // namespace

std::uint16_t crc16_xmodem(std::uint16_t crc, const unsigned char* bytes, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (bytes[i] << byte_bits));
        for (unsigned bit = 0; bit < byte_bits; ++bit)
            crc = static_cast<std::uint16_t>((crc & crc_top_bit) != 0 ? (crc << 1) ^ xmodem_polynomial : crc << 1);
    }
    return crc;
}

xmodem_session xmodem_send_session(std::string_view object, const xmodem_limits& limits)
{
    xmodem_session session;
    session.limits = limits;
    session.sends = true;
    session.object = object;
    return session;
}

xmodem_session xmodem_receive_session(const xmodem_limits& limits)
{
    xmodem_session session;
    session.limits = limits;
    return session;
}

std::string xmodem_begin(xmodem_session& session)
{
    return session.sends ? std::string{} : ask(session);
}

std::string xmodem_send_step(xmodem_session& session, const xmodem_arrival& arrival)
{
    if (arrival.timeout) {
        if (session.phase == xmodem_phase::start)
            return fail(session, xmodem_end::no_answer, false);
        // Every block is acknowledged by now, so the receiver holds the
        // whole object; lrzsz's rx discards its own last ACK as it exits,
        // so an EOT that goes unanswered a few times ends the transfer well.
        if (session.phase == xmodem_phase::end_of_transfer && ++session.retries >= unanswered_eot_tries) {
            session.phase = xmodem_phase::done;
            session.end = xmodem_end::done;
            return {};
        }
        return resend(session);
    }
    unsigned char byte = arrival.byte;
    if (cancelled(session, byte))
        return fail(session, xmodem_end::cancelled, false);
    switch (session.phase) {
    case xmodem_phase::start:
        if (byte == xmodem_ask_kermit_crc)
            session.variant = xmodem_variant::kermit_crc;
        else if (byte == xmodem_ask_crc)
            session.variant = xmodem_variant::crc;
        else if (byte == xmodem_nak)
            session.variant = xmodem_variant::checksum;
        else
            return no_progress(session);
        session.answered = true;
        return next_block(session);
    case xmodem_phase::block:
        if (byte == xmodem_ack) {
            session.acknowledged = session.in_flight_end;
            session.block_number = (session.block_number + 1) % block_number_modulus;
            return next_block(session);
        }
        // The calculator repeats its 'D' until a block arrives, so more
        // start requests may come while the first block is on its way.
        // They are noise: the receiver acknowledges the block it gets, and
        // an answer to a block sent again on their account would arrive
        // while the next block is on its way and pass for its ACK.
        if (byte == xmodem_nak)
            return resend(session);
        return no_progress(session);
    case xmodem_phase::end_of_transfer:
        if (byte == xmodem_ack) {
            session.phase = xmodem_phase::done;
            session.end = xmodem_end::done;
            return {};
        }
        // Some receivers answer the first EOT with NAK to make sure of it.
        if (byte == xmodem_nak)
            return resend(session);
        return no_progress(session);
    default:
        return {};
    }
}

std::string xmodem_receive_step(xmodem_session& session, const xmodem_arrival& arrival)
{
    if (arrival.timeout) {
        session.pending.clear();
        if (session.phase == xmodem_phase::start)
            return ask(session);
        return receiver_nak(session);
    }
    unsigned char byte = arrival.byte;
    if (session.pending.empty()) {
        if (cancelled(session, byte))
            return fail(session, xmodem_end::cancelled, false);
        if (byte == xmodem_eot) {
            session.phase = xmodem_phase::done;
            session.end = xmodem_end::done;
            return std::string(1, static_cast<char>(xmodem_ack));
        }
        if (byte != xmodem_soh && byte != xmodem_stx) {
            // Before the first block a stray byte counts as an ask that
            // went unanswered, after it as a block that did not come.
            if (session.phase == xmodem_phase::start && ++session.asks > session.limits.start_tries)
                return fail(session, xmodem_end::no_answer, true);
            return session.phase == xmodem_phase::start ? std::string{} : no_progress(session);
        }
    }
    session.pending += static_cast<char>(byte);
    std::size_t whole = 1 + block_head + block_size_for(static_cast<unsigned char>(session.pending[0]))
                        + check_size(session.variant);
    return session.pending.size() == whole ? take_block(session) : std::string{};
}

std::string xmodem_abort(xmodem_session& session)
{
    return fail(session, xmodem_end::aborted, true);
}

bool xmodem_finished(const xmodem_session& session)
{
    return session.phase == xmodem_phase::done || session.phase == xmodem_phase::failed;
}

unsigned xmodem_wait_seconds(const xmodem_session& session)
{
    if (session.phase != xmodem_phase::start)
        return session.limits.block_wait;
    return session.sends ? session.limits.start_wait : session.limits.ask_wait;
}

}  // namespace korrin
