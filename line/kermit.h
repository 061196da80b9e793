// Kermit as the calculator speaks it, as a state machine over packets.
//
// A packet on the line holds, in order:
//   MARK   SOH (01 hex);
//   LEN    tochar(n), n the number of characters that follow it up to and
//          including the block check, at most 94;
//   SEQ    tochar(the packet's number modulo 64);
//   TYPE   one letter: S send-init, F file header, D data, Z end of file,
//          B end of batch, Y acknowledgement, N negative acknowledgement,
//          E error, G generic server command, R a request for a file,
//          X a text header, A file attributes;
//   DATA   printable characters; control characters, the prefix characters
//          themselves and, when negotiated, bytes with the eighth bit set
//          and runs of one byte, each stand behind a prefix;
//   CHECK  one, two or three printable characters computed over LEN..DATA;
//   EOL    CR, which the calculator ends each of its packets with.
// tochar(x) is x + 32, so every field but MARK and EOL is printable.
//
// The two sides exchange their parameters in the S packet and its
// acknowledgement; both use block check type 1 for them and the negotiated
// type from the next packet on.  One packet is in flight at a time: the
// sender waits for the acknowledgement of each before sending the next.
//
// Nothing here reads a port, a clock or a signal.  A session starts with one
// of the *_session functions, kermit_begin gives its first bytes to send,
// and kermit_step takes what arrived (a packet, a damaged packet, or the end
// of a wait) and gives the next bytes to send, updating the session.  The
// caller writes those bytes, waits kermit_wait_seconds for an answer, and
// repeats until kermit_finished.

#ifndef KORRIN_LINE_KERMIT_H
#define KORRIN_LINE_KERMIT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korrin {

inline constexpr unsigned char kermit_mark = 0x01;
inline constexpr unsigned char kermit_eol = '\r';

// The longest packet the basic protocol describes: LEN can say no more than
// 94, and the calculator announces exactly that.
inline constexpr unsigned kermit_longest_packet = 94;

// What one side announces in its Send-Init packet or in the acknowledgement
// of one.  Field by field, in the order they stand in the packet.
struct kermit_parameters {
    unsigned maxl = kermit_longest_packet;  // the longest packet it takes (LEN)
    unsigned time = 10;                      // seconds the other side waits for it
    unsigned npad = 0;                       // padding characters it wants before a packet
    unsigned char padc = 0;                  // the padding character
    unsigned char eol = kermit_eol;          // what it wants after each packet
    unsigned char qctl = '#';                // its control prefix
    unsigned char qbin = 'Y';                // eighth-bit prefix: a character, 'Y' willing, 'N' or ' ' not
    unsigned char chkt = '3';                // block check type, '1', '2' or '3'
    unsigned char rept = '~';                // repeat prefix, or ' ' for none
};

// What both sides agreed on: each side's announcement and what follows from
// the two together.
struct kermit_agreement {
    unsigned send_maxl = 80;      // the longest packet the other side takes
    unsigned peer_time = 0;       // how long to wait for the other side, 0 unknown
    unsigned char qctl = '#';     // our control prefix, in what we send
    unsigned char peer_qctl = '#'; // the other side's, in what it sends
    unsigned check_type = 1;      // 1, 2 or 3 once the Send-Init exchange is done
    unsigned char qbin = 0;       // the eighth-bit prefix in use, 0 for none
    unsigned char rept = 0;       // the repeat prefix in use, 0 for none
};

struct kermit_packet {
    char type = 0;
    unsigned seq = 0;        // 0 to 63
    std::string data;        // the data field as it stands on the line
};

// The bytes of `packet` on the line: MARK to CHECK with block check type
// `check_type` (1 to 3), then EOL.  The data field goes as given: the caller
// has encoded it already.  A data field that makes LEN pass 94 is not a
// basic packet; the caller never builds one.
std::string kermit_packet_bytes(const kermit_packet& packet, unsigned check_type);

// The first packet in `bytes`, skipping anything before a MARK.
//   status incomplete: no whole packet yet; `used` bytes before the MARK
//     can be dropped, the rest kept until more come.
//   status damaged: a packet whose check failed or whose length is
//     impossible; `used` bytes can be dropped.
//   status whole: `packet` holds it; `used` bytes can be dropped.
// An S packet is checked with type 1 whatever `check_type` says, since a
// sender repeats its Send-Init when our acknowledgement was lost.
enum class kermit_scan_status { incomplete, damaged, whole };
struct kermit_scan {
    kermit_scan_status status = kermit_scan_status::incomplete;
    kermit_packet packet;
    std::size_t used = 0;
};
kermit_scan scan_kermit_packet(std::string_view bytes, unsigned check_type);

// The data field for `bytes` from `from` on, as much as fits in `room`
// characters with the prefixes of `agreement`; `taken` says how many bytes
// it holds.  A byte is never split across two packets.
std::string kermit_encode(std::string_view bytes, std::size_t from, std::size_t room,
                          const kermit_agreement& agreement, std::size_t& taken);

// The bytes a data field stands for, undoing the prefixes of `agreement`.
// A prefix at the very end of the field stands for itself.
std::string kermit_decode(std::string_view field, const kermit_agreement& agreement);

// The data field of a Send-Init packet or its acknowledgement announcing
// `ours`; and the agreement reached when the other side announced `theirs`
// (its data field as it came, fields missing from its end taking the
// protocol's defaults).
std::string send_init_field(const kermit_parameters& ours);
kermit_agreement kermit_agree(const kermit_parameters& ours, std::string_view theirs);

// What a receiver announces in reply to the sender's Send-Init field
// `theirs`: our own parameters, with the block check type and repeat prefix
// the sender asked for (we take any) and willingness to prefix the eighth
// bit when the sender wants it.
kermit_parameters receiver_reply(const kermit_parameters& ours, std::string_view theirs);

// Where a session is.  The sender's states are those of the Kermit Protocol
// Manual (Send-Init, File-Header, Data, EOF, Break); a command waits for a
// server's first answer; a receiver waits for a Send-Init, then a file
// header, then data.
enum class kermit_phase {
    send_init, file_header, file_data, end_of_file, end_of_batch,
    command,
    receive_init, receive_file, receive_data,
    done, failed,
};

// How a session ended, once kermit_finished says it has.
enum class kermit_end {
    none,              // not ended
    done,              // everything acknowledged, or everything received
    peer_error,        // the other side sent an E packet; its text is in error_text
    no_answer,         // nothing sensible came back at all within the retries
    too_many_retries,  // the other side answered, then the retries ran out
    aborted,           // kermit_abort was called; an E packet went out
    refused,           // the other side did something we do not take; an E packet went out
    cancelled,         // the receiver asked to stop, with X or Z in an acknowledgement
    too_large,         // the other side sent more than any object holds; an E packet went out
};

// Limits a session keeps to.
struct kermit_limits {
    unsigned retry_limit = 5;        // resends of one packet before giving up
    unsigned first_wait = 5;         // seconds to wait before the other side's TIME is known
    unsigned start_tries = 24;       // a receiver's NAKs while waiting for the first S
};

// The most a receiver takes of one file before it stops the sender: the
// largest object file, or, for text the calculator's SEND wrote (which
// opens with "%%HP:"), the longest text that can stand for a string.  A
// batch holds no more than the longest text in all.
std::size_t kermit_most_bytes(std::string_view start);

// A file to send: its name and bytes.
struct kermit_file {
    std::string_view name;
    std::string_view object;
};

// A file received whole: its name and bytes.
struct kermit_received {
    std::string name;
    std::string bytes;
};

struct kermit_session {
    kermit_phase phase = kermit_phase::done;
    kermit_end end = kermit_end::none;
    kermit_parameters ours;
    kermit_limits limits;
    kermit_agreement agreement;
    unsigned seq = 0;              // the packet in flight, or the one expected
    unsigned retries = 0;
    bool answered = false;         // the other side has sent one good packet
    std::string last_sent;         // the bytes to send again after a NAK or a timeout

    // A sender's files, one batch (the caller keeps them alive); the one
    // being sent, its name and bytes, how far the acknowledged packets
    // reach and how far the one in flight does.
    std::vector<kermit_file> batch;
    std::size_t file = 0;
    std::string_view name;
    std::string_view object;
    std::size_t acknowledged = 0;
    std::size_t in_flight_end = 0;

    // A command's packet: its type (G or R) and its decoded data.
    char command_type = 0;
    std::string command_data;

    // What a receiver took in: the name from F (or the X header's text),
    // the file's bytes, or a server's short reply; the files of the batch
    // before it, whole; and how many bytes all of them hold.
    std::string received_name;
    std::string received;
    std::vector<kermit_received> received_before;
    std::size_t received_total = 0;
    bool file_seen = false;

    std::string error_text;        // the other side's E text, or the text we sent in ours
};

// A session that sends one file named `name` holding `object`, then ends the
// batch.  The caller keeps both alive until the session ends.
kermit_session send_session(std::string_view name, std::string_view object,
                            const kermit_parameters& ours, const kermit_limits& limits);

// A session that sends the files of `batch` one after the other, then ends
// the batch.
kermit_session batch_session(std::vector<kermit_file> batch, const kermit_parameters& ours,
                             const kermit_limits& limits);

// A session that gives a server one command: `type` 'G' (generic, `data`
// "D" for its directory, "F" to finish) or 'R' (send me the file `data`).
// The answer is a short acknowledgement or a whole transfer, whose bytes
// end up in `received` either way.
kermit_session command_session(char type, std::string_view data,
                               const kermit_parameters& ours, const kermit_limits& limits);

// A session that waits for a sender's Send-Init and takes every file of
// its batch.
kermit_session receive_session(const kermit_parameters& ours, const kermit_limits& limits);

// The first bytes to send: a Send-Init, a command, or nothing for a receiver.
std::string kermit_begin(kermit_session& session);

// What arrived, fed to kermit_step: a whole packet, a damaged one, or
// nothing within the wait.
enum class kermit_arrival_kind { packet, damaged, timeout };
struct kermit_arrival {
    kermit_arrival_kind kind = kermit_arrival_kind::timeout;
    kermit_packet packet;
};

// The next bytes to send after `arrival`, the session updated.  Empty when
// the arrival asks for nothing (a stray acknowledgement): the caller then
// keeps waiting out the same deadline.
std::string kermit_step(kermit_session& session, const kermit_arrival& arrival);

// An E packet carrying `text`, ending the session as aborted.
std::string kermit_abort(kermit_session& session, std::string_view text);

bool kermit_finished(const kermit_session& session);

// The block check type packets from the other side carry now.
unsigned kermit_check_type(const kermit_session& session);

// Seconds to wait for the other side's next packet: the TIME it announced,
// or the session's first wait until it has.
unsigned kermit_wait_seconds(const kermit_session& session);

}  // namespace korrin

#endif  // KORRIN_LINE_KERMIT_H
