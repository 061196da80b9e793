// XModem as the calculator's XRECV and XSEND speak it, as state machines
// over single bytes.
//
// The receiver chooses the variant with the first byte it sends:
//   'D'  (the calculator's XRECV) blocks of 1024 bytes, each opened by STX
//        and followed by CRC-16/KERMIT of its data, high byte first: the
//        checksum the calculator's BYTES command shows;
//   'C'  blocks of 128 bytes, opened by SOH, followed by CRC-16/XMODEM,
//        high byte first;
//   NAK  blocks of 128 bytes followed by the sum of their bytes modulo 256.
// A block is its opening byte, its number modulo 256 (the first is 1), the
// number's complement, the data and the check.  The last block is padded
// with 1A.  The HP49G's XRECV keeps the object only when fewer than 128
// bytes of padding follow it, and stores the whole padded file as a string
// otherwise; so after the last whole block of 1024 bytes the rest goes in
// blocks of 128, which the 49g+/50g's ROM takes as well.  The receiver answers each block
// with ACK or NAK; EOT ends the transfer; two CANs in a row end it at once.
//
// Nothing here reads a port, a clock or a signal: each step takes one byte
// that arrived, or the end of a wait, and gives the bytes to send.

#ifndef KORRIN_LINE_XMODEM_H
#define KORRIN_LINE_XMODEM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "string_object.h"

namespace korrin {

inline constexpr unsigned char xmodem_soh = 0x01;
inline constexpr unsigned char xmodem_stx = 0x02;
inline constexpr unsigned char xmodem_eot = 0x04;
inline constexpr unsigned char xmodem_ack = 0x06;
inline constexpr unsigned char xmodem_nak = 0x15;
inline constexpr unsigned char xmodem_can = 0x18;
inline constexpr unsigned char xmodem_pad = 0x1A;
inline constexpr unsigned char xmodem_ask_kermit_crc = 'D';
inline constexpr unsigned char xmodem_ask_crc = 'C';

inline constexpr std::size_t xmodem_short_block = 128;
inline constexpr std::size_t xmodem_long_block = 1024;

// CRC-16/XMODEM (polynomial 1021 hex, not reflected, initial value 0) of
// `size` bytes, continued from `crc`.
std::uint16_t crc16_xmodem(std::uint16_t crc, const unsigned char* bytes, std::size_t size);

enum class xmodem_variant { unknown, checksum, crc, kermit_crc };

enum class xmodem_end {
    none,
    done,              // every block and the EOT acknowledged, or everything received
    no_answer,         // the other side never started
    too_many_retries,  // the other side started, then the retries ran out
    cancelled,         // the other side sent CAN CAN
    aborted,           // the abort was asked for; CANs went out
    too_large,         // the other side sent more than any object holds; CANs went out
};

struct xmodem_limits {
    // Resends of one block, NAKs for one block, or bytes that bring no
    // progress (a peer repeating its start, or noise): silence and chatter
    // count alike, so that no peer keeps a transfer going for ever.
    unsigned retry_limit = 10;
    unsigned start_wait = 60;    // seconds for the receiver's first byte
    unsigned block_wait = 10;    // seconds for an answer to a block, or for the rest of one
    unsigned ask_wait = 3;       // seconds a receiver waits between its asks
    unsigned start_tries = 20;   // a receiver's asks before it gives up
    unsigned crc_asks = 3;       // a receiver's asks with 'C' before it asks with NAK
    bool ask_with_d = false;     // a receiver asks with 'D' alone, for the calculator's own CRC
    // The most a receiver takes: the largest object file and its last
    // block's padding.
    std::size_t most_bytes = largest_object_file + xmodem_long_block;
};

enum class xmodem_phase { start, block, end_of_transfer, done, failed };

struct xmodem_session {
    bool sends = false;
    xmodem_phase phase = xmodem_phase::start;
    xmodem_end end = xmodem_end::none;
    xmodem_limits limits;
    xmodem_variant variant = xmodem_variant::unknown;
    unsigned retries = 0;
    unsigned cancels = 0;          // CANs in a row
    bool answered = false;
    std::string last_sent;

    // The sender's object (kept alive by the caller), how far the
    // acknowledged blocks reach, and the block in flight.
    std::string_view object;
    std::size_t acknowledged = 0;
    std::size_t in_flight_end = 0;
    unsigned block_number = 1;

    // The receiver's block being assembled, its asks, and what it took in.
    std::string pending;
    unsigned asks = 0;
    std::string received;
};

// A session that sends `object`, waiting for the receiver's first byte.
xmodem_session xmodem_send_session(std::string_view object, const xmodem_limits& limits);

// A session that receives, asking with 'C' and then with NAK, or with
// 'D' alone when the limits ask_with_d.
xmodem_session xmodem_receive_session(const xmodem_limits& limits);

// The first bytes to send: nothing for a sender, the first ask for a
// receiver.
std::string xmodem_begin(xmodem_session& session);

struct xmodem_arrival {
    bool timeout = true;
    unsigned char byte = 0;
};

// The bytes to send after `arrival`, the session updated.
std::string xmodem_send_step(xmodem_session& session, const xmodem_arrival& arrival);
std::string xmodem_receive_step(xmodem_session& session, const xmodem_arrival& arrival);

// The CANs that stop the other side, ending the session as aborted.
std::string xmodem_abort(xmodem_session& session);

bool xmodem_finished(const xmodem_session& session);

// Seconds to wait for the next byte from the other side.
unsigned xmodem_wait_seconds(const xmodem_session& session);

}  // namespace korrin

#endif  // KORRIN_LINE_XMODEM_H
