// The XModem server of the 49g+, 50g and 48gII (XSERV; on the keyboard,
// right-shift then the right arrow), as its ROM 2.10 speaks it.
//
// The computer sends one command byte, and for some commands a packet:
// two bytes of length, high byte first, the bytes, and one byte, their sum
// modulo 256.  The server answers with ACK (06), or with a packet of the
// same form, which it sends again every second until the computer answers
// ACK (a NAK gets it again at once).  A packet whose sum is wrong is
// answered with NAK.  An unknown command byte is ignored.
//   V              packet: the server's version, "XModem Version 1.0"
//   M              packet: the free memory in bytes, as text
//   L              packet: one record for each variable, newest first
//   P + name       ACK, then the server receives the object by XModem,
//                  asking with 'D'; a name that exists is stored as NAME.1
//   G + name       ACK, then the server sends the object by XModem once the
//                  computer asks with 'D' (a 'C' would leave it stuck); a
//                  name that does not exist ends the server
//   E + command    ACK; the calculator runs the command line
//   Q              ends the server; no answer
// Names travel in the calculator's own characters.
//
// Nothing here reads a port or a clock: these are the packet's form and
// the listing's records, as pure functions.

#ifndef KORRIN_LINE_XSERVER_H
#define KORRIN_LINE_XSERVER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korrin {

inline constexpr char xserver_version = 'V';
inline constexpr char xserver_list = 'L';
inline constexpr char xserver_put = 'P';
inline constexpr char xserver_get = 'G';
inline constexpr char xserver_quit = 'Q';

// What the server's version reply opens with, and the whole of it as ROM
// 2.10 sends it.
inline constexpr std::string_view xserver_greeting = "XModem";
inline constexpr std::string_view xserver_version_reply = "XModem Version 1.0";

// `bytes` as a packet: length, bytes, sum.
std::string xserver_packet(std::string_view bytes);

// The first packet in `bytes`, which must start it.
//   incomplete: not all of it has come yet;
//   damaged: its sum is wrong; `used` bytes can be dropped;
//   whole: `data` holds its bytes; `used` bytes can be dropped.
enum class xserver_scan_status { incomplete, damaged, whole };
struct xserver_scan {
    xserver_scan_status status = xserver_scan_status::incomplete;
    std::string data;
    std::size_t used = 0;
};
xserver_scan scan_xserver_packet(std::string_view bytes);

// One variable of the listing: its name in the calculator's characters,
// the low 16 bits of its object's prolog (2A2C hex for a string), the
// object's size in nibbles without the name, and the checksum BYTES
// shows.
struct xserver_entry {
    std::string name;
    std::uint32_t prolog = 0;
    std::uint32_t nibbles = 0;
    std::uint32_t checksum = 0;
};

// The records of a listing: for each, the name's length (one byte), the
// name, the prolog (two bytes), the size (three bytes) and the checksum
// (two bytes), numbers low byte first.  False when the records do not end
// where the listing does.
bool read_xserver_listing(std::string_view records, std::vector<xserver_entry>& entries);

}  // namespace korrin

#endif  // KORRIN_LINE_XSERVER_H
