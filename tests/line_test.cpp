// The line wing: the protocols as tables of what arrives and what goes out,
// then korrin --send and unkorrin --receive themselves against independent
// programs (gkermit, lrzsz's rx and sx) on the far end of a pseudo-terminal,
// through a relay that counts packets and injects faults.

#include "directory.h"
#include "kermit.h"
#include "names.h"
#include "port.h"
#include "ports.h"
#include "programs.h"
#include "string_object.h"
#include "transfer.h"
#include "xmodem.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using namespace korrin;
namespace fs = std::filesystem;
constexpr std::size_t npos = std::string::npos;
// The programs the rows run, Windows builds under wine.
bool windows = false;
std::vector<std::string> programs[2];

std::string bytes_of(std::initializer_list<int> values) { return std::string(values.begin(), values.end()); }

template <typename... Values>
std::string text(const char* format, Values... values)
{
    char line[512];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

// The programs' messages that the rows check, written out here so that a
// message changed in the programs fails the rows that show it.
constexpr char calculator_cancelled[] = "The calculator cancelled the transfer.";
constexpr char check_absent[] = "The calculator holds nothing named %s after the transfer.";
constexpr char check_differs[] = "The calculator holds %s as %s, # %04Xh, not the string sent, # %04Xh.";
constexpr char checked_beside[] = "Checked: the calculator holds %s, a string, # %04Xh, as sent; %s was there already.\n";
constexpr char checked_line[] = "Checked: the calculator holds %s, a string, # %04Xh, as sent.\n";
constexpr char checking_line[] = "\nChecking what the calculator holds...";
constexpr char header_line[] = "Header: %s\n";
constexpr char line_cut[] = "The line to <%s> was cut.";
constexpr char listed_line[] = "%s: %s, %s bytes, # %04Xh\n";
constexpr char no_answer[] = "The calculator did not answer: is it waiting in %s, at %u baud?";
constexpr char no_such_variable[] = "The calculator holds no variable named %s.";
constexpr char not_checked[] = "The transfer could not be checked: only the calculator's servers tell what it holds.\n";
constexpr char not_finished[] = "The calculator's server did not end: it is still waiting.";
constexpr char received_line[] = "Received %s, %zu bytes.\n";
constexpr char received_unnamed[] = "Received %zu bytes by XModem, which carries no name.\n";
constexpr char saved_as_plain[] = "The name <%s> is no plain file name: the string is saved as <%s>.\n";
constexpr char saved_beside[] = "<%s> is there already: the string is saved as <%s>.\n";
constexpr char sent_by_xmodem[] =
    "Sent %zu bytes by XModem: the calculator stores the string under the name XRECV was given.\n";
constexpr char sent_line_text[] = "Sent %s, %zu bytes, by Kermit.\n";
constexpr char sent_nothing[] = "The calculator sent nothing for %s.";
constexpr char sent_to_server[] = "Sent %s, %zu bytes, by XModem to the calculator's XModem server.\n";
constexpr char transfer_stopped[] = "The transfer was stopped; the calculator was told.";
constexpr char unstorable_name[] = "The calculator cannot store a variable named <%s>.";
constexpr char waiting_line[] = "Waiting for the calculator on %s: start %s. Ctrl-C stops.\n";

// ---------------------------------------------------------------- packets

// What the whole transfers against gkermit do not show: a Send-Init read
// with block check 1 though 3 was agreed (a sender repeats it when our ACK
// was lost), a packet not whole yet, one that lost bytes and runs into the
// next MARK, which starts anew.  Noise before a MARK is skipped.  A whole
// packet is built back into the same bytes.
TEST(KermitPacket, Scanned)
{
    const std::tuple<std::string, kermit_scan_status, std::size_t, kermit_packet> rows[] = {
        {"\r\x01" "9 S~' @-#Y3~*!J*0+++J\"U1AP\r", kermit_scan_status::whole, 28, {'S', 0, "~' @-#Y3~*!J*0+++J\"U1A"}},
        {"\r\x01" "%\"Y.", kermit_scan_status::incomplete, 1, {}},
        {"\r\x01" "%\"Y" "\x01" "%\"Y.5!\r", kermit_scan_status::damaged, 5, {}}};
    for (const auto& [bytes, status, used, packet] : rows) {
        kermit_scan scan = scan_kermit_packet(bytes, 3);
        EXPECT_EQ(std::tie(scan.status, scan.used, scan.packet.data), std::tie(status, used, packet.data)) << bytes;
        EXPECT_TRUE(status != kermit_scan_status::whole || "\r" + kermit_packet_bytes(packet, 1) == bytes) << bytes;
    }
}

// ----------------------------------------------------------- data fields

// Worked by hand from the protocol's prefixing rules, for what gkermit over
// an eight-bit line never asks for: the eighth-bit prefix; and a field too
// short for the next byte, which never goes half in one packet.
TEST(KermitField, PrefixesBothWays)
{
    const std::tuple<unsigned char, unsigned char, std::string_view, std::string_view, std::size_t> rows[] = {
        {'&', 0, "\x81\xc1&", "&#A&A#&", 94}, {'&', '~', "\x81\x81\x81\x81", "~$&#A", 94},
        {0, '~', "AAAAB~", "~$AB#~", 94}, {0, 0, "\x7f#\x81", "#?###\xc1", 94}, {0, 0, "A\x01\x01", "A#A", 4}};
    for (const auto& [qbin, rept, bytes, field, room] : rows) {
        const kermit_agreement agreement{80, 0, '#', '#', 1, qbin, rept};
        std::size_t taken = 0;
        EXPECT_EQ(kermit_encode(bytes, 0, room, agreement, taken), field);
        EXPECT_EQ(kermit_decode(field, agreement), bytes.substr(0, taken)) << field;
    }
}

// --------------------------------------------------------- negotiation

// Our side announces MAXL 94, block check 3, QBIN Y and REPT ~.  The first
// row is the calculator's acknowledgement (MAXL 94, TIME 13, no eighth-bit
// prefix, block check 3, no repeat counts); then an empty one, an
// impossible MAXL, an eighth-bit prefix, and a check type we do not share.
TEST(KermitSendInit, Agreement)
{
    const std::tuple<const char*, unsigned, unsigned, unsigned, unsigned char, unsigned char> rows[] = {
        {"~- @-# 3", 94, 13, 3, 0, 0}, {"", 80, 0, 1, 0, 0}, {"\x7f", 94, 0, 1, 0, 0},
        {"~' @-#&1", 94, 7, 1, '&', 0}, {"~' @-#N2%", 94, 7, 1, 0, 0}};
    for (const auto& [theirs, maxl, time, check, qbin, rept] : rows) {
        kermit_agreement agreement = kermit_agree(kermit_parameters{}, theirs);
        EXPECT_EQ(std::tie(agreement.send_maxl, agreement.peer_time, agreement.check_type, agreement.qbin, agreement.rept),
                  std::tie(maxl, time, check, qbin, rept)) << theirs;
    }
}

// ------------------------------------------------------ state machines

// A packet as the tables write it: its type, its number, a space and its
// data field as it stands on the line; or "timeout", or "damaged".
kermit_arrival arrival(const std::string& text)
{
    if (text == "timeout" || text == "damaged")
        return {text[0] == 't' ? kermit_arrival_kind::timeout : kermit_arrival_kind::damaged, {}};
    std::size_t space = text.find(' ');
    return {kermit_arrival_kind::packet, {text[0], static_cast<unsigned>(std::stoul(text.substr(1, space - 1))),
                                          space != npos ? text.substr(space + 1) : ""}};
}

// What went out, in the same form; a Send-Init's acknowledgement carries
// check type 1 whatever was agreed.
std::string said(const std::string& bytes, unsigned check_type)
{
    kermit_scan scan = scan_kermit_packet(bytes, check_type);
    if (scan.status != kermit_scan_status::whole)
        scan = scan_kermit_packet(bytes, 1);
    if (bytes.empty() || scan.status != kermit_scan_status::whole || scan.used + 1 != bytes.size())
        return bytes.empty() ? "" : "unreadable";
    return scan.packet.type + std::to_string(scan.packet.seq) + (scan.packet.data.empty() ? "" : " " + scan.packet.data);
}

struct SessionRow {
    const char* name;
    kermit_session (*start)();
    const char* first;
    std::vector<std::pair<const char*, const char*>> exchanges;  // what arrives, what goes
    kermit_end end;
    const char *text, *received;
};

const kermit_limits few_retries{3, 5, 2};
kermit_session sender() { return send_session("NAME", "ABC\x01", kermit_parameters{}, few_retries); }
kermit_session receiver() { return receive_session(kermit_parameters{}, few_retries); }

// What the whole transfers do not bring about: the calculator's own
// packets, a stray or lost ACK, a NAK storm, a gap, a second file, and the
// server's answers to finish and get (its directory reply is a row over
// the line).
const SessionRow session_rows[] = {
    {"send to the calculator's RECV, with a NAK, a lost ACK and a stray one", sender, "S0 ~* @-#Y3~",
     {{"Y0 ~- @-# 3", "F1 NAME"}, {"timeout", "F1 NAME"}, {"Y1 NAME", "D2 ABC#A"}, {"N2", "D2 ABC#A"},
      {"Y1", ""}, {"damaged", "D2 ABC#A"}, {"N3", "Z3"}, {"Y3", "B4"}, {"Y4", ""}}, kermit_end::done, "", ""},
    {"a NAK storm after the calculator answered", sender, "S0 ~* @-#Y3~",
     {{"Y0 ~- @-# 3", "F1 NAME"}, {"N1", "F1 NAME"}, {"N1", "F1 NAME"}, {"N1", "F1 NAME"}, {"N1", "E1 Too many retries"}},
     kermit_end::too_many_retries, "Too many retries", ""},
    {"receive from the calculator's SEND, with a repeat, a gap and damage", receiver, "",
     {{"timeout", "N0"}, {"S0 ~- @-#Y3", "Y0 ~* @-#N3 "}, {"F1 ABC.HP", "Y1"}, {"D2 AB#J", "Y2"}, {"D2 AB#J", "Y2"},
      {"D4 CD", "N3"}, {"damaged", "N3"}, {"D3 CD", "Y3"}, {"Z4", "Y4"}, {"B5", "Y5"}}, kermit_end::done, "", "AB\nCD"},
    {"a receiver that gives the file up cancels the send", sender, "S0 ~* @-#Y3~",
     {{"Y0 ~- @-# 3", "F1 NAME"}, {"Y1 NAME", "D2 ABC#A"}, {"Y2 X", "E2 Cancelled"}}, kermit_end::cancelled,
     "Cancelled", ""},
    {"data before the file header and unknown packets, repeated, run out the retries", receiver, "",
     {{"S0 ~- @-#Y3", "Y0 ~* @-#N3 "}, {"D1 AB", "N1"}, {"Q1", "N1"}, {"D1 AB", "N1"}, {"Q1", "E1 Too many retries"}},
     kermit_end::too_many_retries, "Too many retries", ""},
    {"a batch of two files, as SEND of a list sends it", receiver, "",
     {{"S0 ~- @-#Y3", "Y0 ~* @-#N3 "}, {"F1 A", "Y1"}, {"D2 a", "Y2"}, {"Z3", "Y3"}, {"F4 B", "Y4"}, {"D5 b", "Y5"},
      {"Z6", "Y6"}, {"B7", "Y7"}}, kermit_end::done, "", "b"},
    // A NAK of the next number is no ACK of a command: the ACK carries the reply.
    {"finish: the server acknowledges", [] { return command_session('G', "F", kermit_parameters{}, few_retries); },
     "G0 F", {{"N1", "G0 F"}, {"Y0", ""}}, kermit_end::done, "", ""},
    {"get a variable the calculator does not have",
     [] { return command_session('R', "NOPE", kermit_parameters{}, few_retries); }, "R0 NOPE",
     {{"timeout", "R0 NOPE"}, {"E0 Undefined Name", ""}}, kermit_end::peer_error, "Undefined Name", ""},
};

TEST(KermitSession, PacketsInPacketsOut)
{
    for (const SessionRow& row : session_rows) {
        SCOPED_TRACE(row.name);
        kermit_session session = row.start();
        EXPECT_EQ(said(kermit_begin(session), 1), row.first);
        for (const auto& [arrives, goes] : row.exchanges) {
            ASSERT_FALSE(kermit_finished(session)) << arrives;
            std::string out = kermit_step(session, arrival(arrives));
            EXPECT_EQ(said(out, kermit_check_type(session)), goes) << arrives;
        }
        EXPECT_EQ(std::tie(session.end, session.error_text, session.received), std::tie(row.end, row.text, row.received));
    }
}

// ----------------------------------------------------------------- XModem

// What the whole transfers leave out: a sender whose receiver never asks
// gives up after the first wait; and, as sx sends clean blocks only, a
// receiver must ask with NAK once 'C' went unanswered, take a block sent
// again, and refuse a damaged one.
TEST(Xmodem, UnansweredSenderAndReceiverFaults)
{
    xmodem_session unanswered = xmodem_send_session("x", xmodem_limits{});
    EXPECT_EQ(xmodem_send_step(unanswered, {}), "");
    EXPECT_EQ(unanswered.end, xmodem_end::no_answer);
    xmodem_session session = xmodem_receive_session(xmodem_limits{10, 60, 10, 3, 20, 1});   // one ask with 'C'
    EXPECT_EQ(xmodem_begin(session), "C");
    EXPECT_EQ(xmodem_receive_step(session, {}), bytes_of({xmodem_nak}));
    std::string data(128, 'x'), block = bytes_of({xmodem_soh, 1, 0xFE}) + data + bytes_of({(128 * 'x') & 0xFF});
    std::string damaged = bytes_of({xmodem_soh, 2, 0xFD}) + 'y' + block.substr(4), out;
    for (char c : block + block + damaged + bytes_of({xmodem_eot}))
        out += xmodem_receive_step(session, {false, static_cast<unsigned char>(c)});
    EXPECT_EQ(out, bytes_of({xmodem_ack, xmodem_ack, xmodem_nak, xmodem_ack}));
    EXPECT_EQ(session.end, xmodem_end::done);
    EXPECT_EQ(session.received, data);
}

// The calculator's XRECV asks with 'D', as no packaged receiver does, and
// repeats it until a block comes: blocks of 1024 bytes opened by STX or of
// 128 opened by SOH, CRC-16/KERMIT of the data after them, high byte first,
// the last padded with 1A.  The HP49G's ROM keeps the object only when
// fewer than 128 bytes of padding follow it; with more it stores the whole
// padded file as a string.  Sizes around the block boundaries, ABC's
// object first.
TEST(Xmodem, XrecvStoresEveryObjectExactly)
{
    for (std::size_t size : {16u, 1024u, 1025u, 1920u, 1921u, 2047u, 20013u}) {
        std::string object(size, 'o'), padded;
        xmodem_session session = xmodem_send_session(object, xmodem_limits{});
        std::string block = xmodem_send_step(session, {false, 'D'});
        EXPECT_EQ(xmodem_send_step(session, {false, 'D'}), "") << "a repeated D resent the block";
        for (unsigned number = 1; !block.empty() && block[0] != xmodem_eot; ++number) {
            const std::size_t data_size = block[0] == xmodem_stx ? xmodem_long_block : xmodem_short_block;
            ASSERT_EQ(block.size(), 3 + data_size + 2);
            const auto data = reinterpret_cast<const unsigned char*>(block.data()) + 3;
            const unsigned crc = crc_update(0, data, data_size);
            EXPECT_EQ(block.substr(1, 2) + block.substr(3 + data_size), bytes_of({int(number & 0xFF), int(~number & 0xFF),
                                                                                   int(crc >> 8), int(crc & 0xFF)}));
            padded += block.substr(3, data_size);
            block = xmodem_send_step(session, {false, xmodem_ack});
        }
        EXPECT_EQ(block, bytes_of({xmodem_eot}));
        EXPECT_EQ(xmodem_send_step(session, {false, xmodem_ack}), "");
        EXPECT_EQ(session.end, xmodem_end::done);
        const std::string stored = padded.size() - size < xmodem_short_block ? padded.substr(0, size) : padded;
        EXPECT_TRUE(stored == object) << size << " bytes stored as " << stored.size();
    }
}

// A peer that talks without progress ends the transfer within the retries,
// as silence does: a stray byte before the start, the calculator's 'D'
// after a block, NAKs to a receiver before and after its first block.
TEST(Xmodem, ChatterWithoutProgressEnds)
{
    const std::string block = bytes_of({xmodem_soh, 1, 0xFE}) + std::string(128, 'x') + bytes_of({(128 * 'x') & 0xFF});
    const std::tuple<bool, std::string, unsigned char, xmodem_end> rows[] = {
        {true, "", 'x', xmodem_end::no_answer}, {true, "D", 'D', xmodem_end::too_many_retries},
        {false, "", xmodem_nak, xmodem_end::no_answer}, {false, block, xmodem_nak, xmodem_end::too_many_retries}};
    for (const auto& [sends, before, chatter, end] : rows) {
        // The receiver asks with NAK at once, for the block's plain sum.
        xmodem_session session = sends ? xmodem_send_session("x", xmodem_limits{})
                                       : xmodem_receive_session(xmodem_limits{10, 60, 10, 3, 20, 0});
        const auto step = sends ? xmodem_send_step : xmodem_receive_step;
        xmodem_begin(session);
        for (char c : before)
            step(session, {false, static_cast<unsigned char>(c)});
        for (int i = 0; i < 100 && !xmodem_finished(session); ++i)
            step(session, {false, chatter});
        EXPECT_EQ(session.end, end) << sends << " " << int(chatter);
    }
}

// The Send-Init that asks the Kermit server and RECV reaches the XModem
// server too, which would take a letter of its commands as one: P, G or
// E would wait for a packet, Q would end it.
TEST(Xserver, SendInitHoldsNoCommandLetter)
{
    kermit_session session = send_session("NAME", "x", kermit_parameters{}, kermit_limits{});
    EXPECT_EQ(kermit_begin(session).find_first_of("VMLPGEQ"), npos);
}

// The listing's records, as ROM 2.10 sent them for ABC; one cut short, or
// followed by a stray byte, makes the listing unreadable.
TEST(Xserver, ListingRecords)
{
    const std::string abc = bytes_of({3, 'A', 'B', 'C', 0x2C, 0x2A, 0x10, 0, 0, 0xD7, 0x9C});
    std::vector<xserver_entry> entries;
    ASSERT_TRUE(read_xserver_listing(abc + abc, entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(std::tie(entries[0].name, entries[0].prolog, entries[0].nibbles, entries[0].checksum),
              std::make_tuple(std::string("ABC"), 0x2A2Cu, 16u, 0x9CD7u));
    EXPECT_FALSE(read_xserver_listing(abc.substr(0, abc.size() - 1), entries));
    EXPECT_FALSE(read_xserver_listing(abc + "\x05", entries));
}

// A sender that never stops is stopped past the largest object: CANs for
// XModem, an E packet for Kermit, the text the calculator's SEND writes
// allowed its greater length.
TEST(Receivers, StopPastTheLargestObject)
{
    xmodem_session xmodem = xmodem_receive_session(xmodem_limits{});
    const std::string data(1024, 'x');
    const unsigned crc = crc16_xmodem(0, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    std::string out;
    for (unsigned n = 1; n < 1000 && !xmodem_finished(xmodem); ++n)
        for (char c : bytes_of({xmodem_stx, int(n & 0xFF), int(~n & 0xFF)}) + data + bytes_of({int(crc >> 8), int(crc & 0xFF)}))
            out = xmodem_receive_step(xmodem, {false, static_cast<unsigned char>(c)});
    EXPECT_EQ(xmodem.end, xmodem_end::too_large);
    EXPECT_EQ(out.substr(0, 2), bytes_of({xmodem_can, xmodem_can}));
    EXPECT_LE(xmodem.received.size(), largest_object_file + std::size_t{xmodem_long_block});

    for (const std::string start : {"", "%%HP: T(3)A(R)F(.);\r\n"}) {
        kermit_session kermit = receiver();
        kermit_step(kermit, arrival("S0 ~- @-# 3"));
        kermit_step(kermit, arrival("F1 BIG"));
        kermit_step(kermit, arrival("D2 " + start));
        unsigned seq = 3;
        for (; seq < 100000 && !kermit_finished(kermit); ++seq)
            out = kermit_step(kermit, arrival("D" + std::to_string(seq % 64) + " " + std::string(90, 'x')));
        EXPECT_EQ(said(out, 3).substr(0, 1), "E");
        EXPECT_EQ(kermit.end, kermit_end::too_large);
        EXPECT_LE(kermit.received.size() - kermit_most_bytes(start), 90u) << start;
    }
}

// ------------------------------------------------------------- directory

// The figures stand in the calculator's recorded reply (CR LF), read also
// with LF alone as another ROM writes it.
TEST(Directory, RecordedReply)
{
    std::string reply = slurp(fs::path(KORRIN_LINE_DATA) / "directory.txt"), lf_alone = reply;
    ASSERT_FALSE(reply.empty());
    lf_alone.erase(std::remove(lf_alone.begin(), lf_alone.end(), '\r'), lf_alone.end());
    const auto found = directory_lookup::found, absent = directory_lookup::absent;
    const std::tuple<const std::string*, const char*, directory_lookup, const char*, std::uint32_t> rows[] = {
        {&reply, "S", found, "String", 32458}, {&lf_alone, "S", found, "String", 32458}, {&reply, "s", absent, "", 0},
        {&reply, "B", found, "Binary Integer", 39283}, {&lf_alone, "CASDIR", found, "Directory", 15302},
        {&reply, "HOME", absent, "", 0}};
    for (const auto& [text, name, lookup, type, checksum] : rows) {
        directory_entry entry = find_directory_entry(*text, name);
        EXPECT_EQ(std::tie(entry.lookup, entry.type, entry.checksum), std::tie(lookup, type, checksum)) << name;
    }
    EXPECT_EQ(find_directory_entry("Invalid Syntax", "S").lookup, directory_lookup::unreadable);
    EXPECT_EQ(find_directory_entry("{ HOME } 1.\nS 12.5 String\n", "S").lookup, directory_lookup::unreadable);
}

// A name or a text from the far end becomes a plain file name and a
// printable text: nothing of a path, hidden, an option, a device or a
// control survives, and a plain name stays as it is.
TEST(ReceivedNames, PlainAndVisible)
{
    const std::tuple<std::string, const char*, const char*> rows[] = {
        {"NOTES", "NOTES", "NOTES"},
        {"A\xe2\x86\x92" "B", "A\xe2\x86\x92" "B", "A\xe2\x86\x92" "B"},
        {".bashrc", "bashrc", ".bashrc"},
        {"-", "received", "-"},
        {"..", "received", ".."},
        {"../../etc/passwd", "_.._etc_passwd", "../../etc/passwd"},
        {"a\\b", "a_b", "a\\b"},
        {"\x1b[31mX\x07", "_[31mX_", "\\x1B[31mX\\x07"},
        {"R\xe2\x80\xae" "exe.txt", "R_exe.txt", "RU+202Eexe.txt"},
        {"\xef\xbb\xbf" "A\xc2\x9b" "B", "_A_B", "U+FEFFAU+009BB"},
        {"x\r\nReceived y", "x__Received y", "x\\x0D\\x0AReceived y"},
        {std::string("a\0b", 3), "a_b", "a\\x00b"},
        {"\xff", "_", "\\xFF"},
        {"nul", "_nul", "nul"},
        {"COM1.txt", "_COM1.txt", "COM1.txt"},
        {"aux .hp", "_aux .hp", "aux .hp"},
        {"name. ", "name", "name. "},
        {"a:b*c?", "a_b_c_", "a:b*c?"},
        {std::string(300, 'x'), "", ""},
    };
    for (const auto& [name, plain, visible] : rows) {
        EXPECT_EQ(plain_file_name(name), *plain != '\0' ? std::string(plain) : std::string(240, 'x')) << name;
        EXPECT_EQ(visible_text(name), *visible != '\0' ? std::string(visible) : name) << name;
    }
}

// ------------------------------------------------------------ the seam

// A line whose far end is a script: it may speak first, then answers each
// write of the transfer; its clock moves only by the waits the transfer
// makes, so that rules of timing take no time to try.
struct scripted_line {
    line_clock::time_point now{};
    std::string inbox;
    std::function<std::string(const std::string& written)> answer;
};

line_io scripted(scripted_line& far)
{
    line_io line;
    line.read = [&far](unsigned char* buffer, std::size_t size, std::chrono::milliseconds wait, std::size_t& got) {
        got = std::min(size, far.inbox.size());
        std::copy_n(far.inbox.begin(), got, buffer);
        far.inbox.erase(0, got);
        far.now += got == 0 ? wait : std::chrono::milliseconds(1);
        return std::error_code();
    };
    line.write = [&far](const unsigned char* bytes, std::size_t size) {
        far.inbox += far.answer(std::string(reinterpret_cast<const char*>(bytes), size));
        return std::error_code();
    };
    line.now = [&far] { return far.now; };
    return line;
}

// How long a transfer may wait, whatever the far end does: silence, a
// server that answers 'V' and then nothing, XRECV asking again after each
// block instead of acknowledging it, an abort asked for.
TEST(Seam, EveryWaitEnds)
{
    const auto silent = [](const std::string&) { return std::string(); };
    const auto version_only = [](const std::string& written) {
        return written.find('V') != npos ? xserver_packet("XModem Version 1.0") : std::string();
    };
    const auto asks_again = [](const std::string&) { return std::string("D"); };
    // The XModem server answering its version, then NAK to every packet.
    const auto naks = [](const std::string& written) {
        return written.find('V') != npos ? xserver_packet("XModem Version 1.0") : std::string(1, '\x15');
    };
    // The XModem server answering its version, then noise for ever.
    const auto chatters = [](const std::string& written) {
        return written.find('V') != npos ? xserver_packet("XModem Version 1.0") : std::string(4096, 'x');
    };
    volatile std::sig_atomic_t stop = 1;
    const std::tuple<const char*, line_protocol, std::string, std::function<std::string(const std::string&)>,
                     const volatile std::sig_atomic_t*, transfer_end, int> rows[] = {
        {"nobody", line_protocol::any, "", silent, nullptr, transfer_end::no_answer, 31},
        {"nobody, Kermit alone", line_protocol::kermit, "", silent, nullptr, transfer_end::no_answer, 31},
        {"a server that never acknowledges P", line_protocol::any, "", version_only, nullptr, transfer_end::no_answer, 4},
        {"XRECV asking after every block", line_protocol::xmodem, "D", asks_again, nullptr,
         transfer_end::too_many_retries, 60},
        {"stopped", line_protocol::any, "", silent, &stop, transfer_end::interrupted, 2},
        {"a server that NAKs every packet", line_protocol::xmodem, "", naks, nullptr, transfer_end::too_many_retries, 4},
        {"a server that answers P with noise", line_protocol::xmodem, "", chatters, nullptr,
         transfer_end::too_many_retries, 4},
    };
    const std::string object = object_file("ABC");
    for (const auto& [name, protocol, first, answer, abort, end, most] : rows) {
        scripted_line far{{}, first, answer};
        line_io line = scripted(far);
        send_options options;
        options.protocol = protocol;
        options.abort = abort;
        const transfer_result result = send_objects(line, options, {{"ABC", object}});
        EXPECT_EQ(result.end, end) << name;
        EXPECT_LE(far.now.time_since_epoch(), std::chrono::seconds(most)) << name;
    }
    // XRECV takes one object: two are refused, with CANs and no block.
    scripted_line far{{}, "D", silent};
    std::string written;
    far.answer = [&written](const std::string& bytes) {
        written += bytes;
        return std::string();
    };
    line_io line = scripted(far);
    EXPECT_EQ(send_objects(line, send_options{}, {{"A", object}, {"B", object}}).end, transfer_end::refused);
    EXPECT_EQ(written, std::string(8, '\x18'));
}


// ------------------------------------------------------- finding the port

// A serial port as sysfs shows it, planted in a made tree: a USB serial
// adapter's ttyUSB under its usb-serial port, a CDC ACM ttyACM right under
// its USB interface, a built-in UART with its type (0: nothing answered),
// or a virtual terminal with no device behind it.
struct planted {
    const char* tty;
    const char* layout;  // "usb", "acm", "uart" or "virtual"
    const char* vendor = "";
    const char* product = "";
    const char* driver = "";
    const char* maker = "";
    const char* model = "";
    const char* uart_type = "4";
    bool node = true;    // whether its device file is there
};

void plant(const fs::path& root, const planted& port)
{
    const fs::path sys = root / "sys", tty = port.tty;
    const auto write = [](const fs::path& file, const std::string& text) {
        if (!text.empty())
            std::ofstream(file) << text << "\n";
    };
    fs::path device = sys / "devices" / "platform" / "serial8250";
    if (port.layout == std::string("usb") || port.layout == std::string("acm")) {
        const fs::path usb = sys / "devices" / "pci0000:00" / "usb1" / ("1-" + tty.string()), interface = usb / "1:1.0";
        fs::create_directories(interface);
        write(usb / "idVendor", port.vendor);
        write(usb / "idProduct", port.product);
        write(usb / "manufacturer", port.maker);
        write(usb / "product", port.model);
        fs::create_directories(sys / "bus" / "usb" / "drivers" / port.driver);
        fs::create_directory_symlink(fs::relative(sys / "bus" / "usb" / "drivers" / port.driver, interface),
                                     interface / "driver");
        device = port.layout == std::string("usb") ? interface / tty : interface;
    } else if (port.layout == std::string("virtual")) {
        device = sys / "devices" / "virtual" / "tty" / tty;
    }
    const fs::path node = device / "tty" / tty;
    fs::create_directories(node);
    if (port.layout != std::string("virtual"))
        fs::create_directory_symlink(fs::relative(device, node), node / "device");
    if (port.layout == std::string("uart")) {
        write(node / "type", port.uart_type);
        fs::create_directories(sys / "bus" / "platform" / "drivers" / "serial8250");
        if (!fs::exists(device / "driver"))
            fs::create_directory_symlink(fs::relative(sys / "bus" / "platform" / "drivers" / "serial8250", device),
                                         device / "driver");
    }
    fs::create_directories(sys / "class" / "tty");
    fs::create_directory_symlink(fs::relative(node, sys / "class" / "tty"), sys / "class" / "tty" / tty);
    fs::create_directories(root / "dev");
    if (port.node)
        std::ofstream(root / "dev" / tty);
}

const planted calculator{"ttyUSB1", "usb", "03f0", "0121", "usb_serial_simple"};
const planted ftdi{"ttyUSB0", "usb", "0403", "6001", "ftdi_sio", "FTDI", "FT232R"};

struct PortsRow {
    const char* name;
    std::vector<planted> ports;
    std::vector<std::string> found;   // each as --ports lists it, under the root
    std::size_t likely;               // how many of the first found a run may take
};

const PortsRow ports_rows[] = {
    {"the calculator before the adapter named before it", {ftdi, calculator, {"tty0", "virtual"}},
     {"dev/ttyUSB1  HP 49g+/50g calculator (USB 03F0:0121)", "dev/ttyUSB0  USB serial adapter (FTDI FT232R, USB 0403:6001)"},
     1},
    {"two calculators, counted as numbers",
     {{"ttyUSB10", "usb", "03F0", "0121", "usb_serial_simple"}, {"ttyUSB2", "usb", "03f0", "0121", "usb_serial_simple"}},
     {"dev/ttyUSB2  HP 49g+/50g calculator (USB 03F0:0121)", "dev/ttyUSB10  HP 49g+/50g calculator (USB 03F0:0121)"}, 2},
    {"an ACM adapter before a built-in UART; a UART that never answered left out",
     {{"ttyS1", "uart", "", "", "", "", "", "0"}, {"ttyS0", "uart"}, {"ttyACM0", "acm", "2341", "0043", "cdc_acm", "Arduino"}},
     {"dev/ttyACM0  USB serial adapter (Arduino, USB 2341:0043)", "dev/ttyS0  serial port (serial8250)"}, 1},
    {"a built-in port alone is none a run takes by itself", {{"ttyS0", "uart"}}, {"dev/ttyS0  serial port (serial8250)"}, 0},
    {"a port without its device file", {{"ttyUSB0", "usb", "03f0", "0121", "usb_serial_simple", "", "", "", false}}, {}, 0},
    {"no sysfs at all", {}, {}, 0},
};

TEST(Ports, FoundInAMadeTree)
{
    for (const PortsRow& row : ports_rows) {
        SCOPED_TRACE(row.name);
        const fs::path root = fs::temp_directory_path() / ("korrin-ports-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        for (const planted& port : row.ports)
            plant(root, port);
        std::vector<std::string> found;
        const std::vector<found_port> ports = find_ports(root);
        for (const found_port& port : ports)
            found.push_back(fs::relative(port.name, root).string() + "  " + port_description(port));
        EXPECT_EQ(found, row.found);
        const std::vector<found_port> likely = likely_ports(ports);
        EXPECT_EQ(likely.size(), row.likely);
        for (std::size_t i = 0; i < likely.size() && i < ports.size(); ++i)
            EXPECT_EQ(likely[i].name, ports[i].name);
        fs::remove_all(root);
    }
}

// The word after --send, --receive and --list: a port, or the first file.
TEST(Ports, WordsThatNameAPort)
{
    const std::pair<const char*, bool> rows[] = {
        {"/dev/null", true}, {"/dev/ttyUSB99", true}, {"none/ttyACM3", true}, {"notes.txt", false},
        {KORRIN_LINE_DATA, false}, {"COM3", true}, {"com10", true}, {"Com2", true}, {"COM", false},
        {"COMMON", false}, {"COM3x", false}};
    for (const auto& [word, port] : rows)
        EXPECT_EQ(names_a_port(word), port) << word;
}

// ===================================================== over the line

// The program opens the terminal of a pseudo-terminal; the far end, a peer
// program, talks through a socket, as gkermit and lrzsz do on their
// standard input and output.  A relay passes the bytes between
// the master and the socket, Kermit packet by packet, counts them, and
// applies the faults planned for given packets; each read from our side of
// an XModem line counts as one packet of type 'X'.  The far end is heard
// once the program has set its port up, as a calculator started after it:
// opening the port drops whatever waited there.
enum class fault { none, drop, corrupt, duplicate, cut, interrupt, cancel };

// A fault hits the given packet of its type, counted from 1 over both
// directions.
struct relay_fault { char type; unsigned packet; fault kind; };

struct line_pair {
    int ours = -1, our_tty = -1, theirs = -1, peer = -1;
    std::string path;   // the terminal the program opens
    std::vector<relay_fault> faults;
    bool kermit = true, opened = false;
    std::atomic<pid_t> program{0};
    std::atomic<bool> stop{false};
    std::thread relay;
    // Data packets unlike the one before (a resend is the same bytes again),
    // the longest LEN, and our E packets.
    unsigned data = 0, longest = 0, errors = 0, seen[128] = {};
    // The generic commands the relay saw, and its answers to them, if it
    // answers as the calculator's server.
    std::string last_data, commands;
    std::vector<std::string> answer;
};

void put(int fd, const std::string& bytes)
{
    // Bytes nobody reads are lost, as on a line.
    for (ssize_t n = 0, done = 0; done < static_cast<ssize_t>(bytes.size()) && n >= 0; done += n)
        n = write(fd, bytes.data() + done, bytes.size() - static_cast<std::size_t>(done));
}

// The calculator's server's answers: to finish, an ACK, and the same ACK
// alone to a get, as a server that has nothing to send; to the directory
// request, `directory` as a Send-Init, the text's header, the text and the
// end, packet n + 1 when korrin acknowledged packet n.
std::vector<std::string> server_answers(const std::string& directory)
{
    std::vector<std::string> packets{kermit_packet_bytes({'Y', 0, ""}, 1), kermit_packet_bytes({'S', 0, "~* @-#Y3"}, 1),
                                     kermit_packet_bytes({'X', 1, ""}, 3)};
    for (std::size_t from = 0, taken = 0; from < directory.size(); from += taken)
        packets.push_back(kermit_packet_bytes({'D', static_cast<unsigned>(packets.size() - 1),
                                               kermit_encode(directory, from, 80, {94, 0, '#', '#', 3, 0, 0}, taken)}, 3));
    for (char type : {'Z', 'B'})
        packets.push_back(kermit_packet_bytes({type, static_cast<unsigned>(packets.size() - 1), ""}, 3));
    return packets;
}

void pass(line_pair& line, bool from_ours, std::string& pending)
{
    while (!pending.empty() && line.ours >= 0) {
        std::size_t mark = line.kermit ? pending.find('\x01') : npos, end = pending.find('\r', mark);
        if (mark != npos && end == npos)
            return;
        std::string packet = pending.substr(0, mark == npos ? npos : end + 1);
        pending.erase(0, packet.size());
        char type = mark == npos ? (from_ours && !line.kermit ? 'X' : 0) : static_cast<char>(packet[mark + 3] & 0x7F);
        unsigned n = type != 0 ? ++line.seen[static_cast<unsigned char>(type)] : 0;
        if (mark != npos)
            line.longest = std::max(line.longest, static_cast<unsigned>(packet[mark + 1]) - 32);
        line.errors += from_ours && type == 'E';
        line.data += type == 'D' && packet != line.last_data;
        line.last_data = type == 'D' ? packet : line.last_data;
        // As the server: the ACK of finish and get first, the directory's
        // packets after it, the first for the request, the next for each ACK.
        if (from_ours && !line.answer.empty() && (type == 'G' || type == 'Y' || type == 'R')) {
            std::size_t next = type == 'Y' ? static_cast<unsigned char>(packet[mark + 2]) - 30u : packet[mark + 4] == 'D';
            line.commands += type == 'G' ? packet.substr(mark + 4, 1) : "";
            put(line.ours, next < line.answer.size() ? line.answer[next] : "");
            continue;
        }
        fault kind = fault::none;
        for (const relay_fault& planned : line.faults)
            kind = planned.type == type && planned.packet == n ? planned.kind : kind;
        if (kind == fault::cut) {
            close(line.ours);
            line.ours = -1;
            return;
        }
        if (kind == fault::interrupt)
            kill(line.program, SIGINT);
        if (kind == fault::cancel)
            put(line.ours, bytes_of({xmodem_can, xmodem_can}));
        if (kind == fault::corrupt)
            packet[packet.size() - 2] ^= 0x01;   // a Kermit packet's last check character
        for (int copies = kind == fault::duplicate ? 2 : kind == fault::none || kind == fault::corrupt; copies > 0; --copies)
            put(from_ours ? line.theirs : line.ours, packet);
    }
}

void run_relay(line_pair& line)
{
    std::string pending[2];
    for (termios mode{}; !line.stop && line.ours >= 0;) {
        line.opened = line.opened || (tcgetattr(line.our_tty, &mode) == 0 && (mode.c_lflag & ICANON) == 0);
        pollfd fds[2] = {{line.ours, POLLIN, 0}, {line.opened ? line.theirs : -1, POLLIN, 0}};
        poll(fds, 2, 100);
        for (int side = 0; side < 2 && line.ours >= 0; ++side) {
            char buffer[4096];
            ssize_t n = (fds[side].revents & POLLIN) != 0 ? read(fds[side].fd, buffer, sizeof buffer) : 0;
            pending[side].append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            pass(line, side == 0, pending[side]);
        }
    }
}

// The test holds both ends open for the line's life, so neither reads as
// hung up until the relay cuts the line.
void open_line(line_pair& line, std::vector<relay_fault> faults, bool kermit)
{
    int ends[2];
    ASSERT_EQ(openpty(&line.ours, &line.our_tty, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    std::tie(line.path, line.theirs, line.peer) = std::tuple(ttyname(line.our_tty), ends[0], ends[1]);
    for (int fd : {line.ours, line.theirs})
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    line.faults = std::move(faults);
    line.kermit = kermit;
    line.relay = std::thread(run_relay, std::ref(line));
}

void close_line(line_pair& line)
{
    line.stop = true;
    line.relay.join();
    for (int fd : {line.ours, line.theirs, line.our_tty})
        close(fd);   // a cut line's master is closed already: -1
    close(line.peer);
}

// Runs `command` in `folder` with `in`, `out` and `err` as its standard
// streams; PORT stands for `port`, and korrin and unkorrin for the programs
// under test.
pid_t spawn(const std::string& command, const fs::path& folder, int in, int out, int err, const std::string& port = "")
{
    std::vector<std::string> args;
    std::istringstream words(command);
    for (std::string word; words >> word;)
        for (const std::string& arg : word == "korrin" || word == "unkorrin" ? programs[word[0] == 'u'] : std::vector{word})
            args.push_back(arg == "PORT" ? port : arg);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (chdir(folder.c_str()) != 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(127);
    // The line's other ends stay with the test, or closing them would not
    // cut the line.
    for (int fd = 3; fd < 1024; ++fd)
        close(fd);
    execvp(argv[0], argv.data());
    _exit(127);
}

// The exit status, or -1 when the process had to be killed after `seconds`.
int finish(pid_t pid, int seconds)
{
    int status = 0;
    for (int tenths = 0; tenths < seconds * 10; ++tenths, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// ------------------------------------------- the XModem server's stand-in

// The 49g+/50g's XModem server as its ROM 2.10 was measured: a command
// byte, a packet (length high byte first, bytes, sum) for P and G, its
// reply packets sent again every second until ACKed and at once after a
// NAK, a NAK for a packet with a bad sum, a put onto a name that exists
// stored as NAME.1, the listing newest first, a get of a missing name
// ending the server silently, 'C' never answered, blocks of 1024 bytes
// while as many remain, then 128, the last padded with memory, and the
// header HPHP49-C.  Each variable it stores is also written to `folder`.
// `quirks` names the faults it plays: "taken" (OBJ is there already),
// "silent" (no 'D' after P's ACK), "badsum" (the first reply's sum is
// wrong), "repeats" (each reply goes twice).
struct xserver_standin {
    int fd;
    fs::path folder;
    std::string quirks;
    std::vector<std::pair<std::string, std::string>> variables;  // newest first: name, object file
    std::atomic<bool>* stop;
};

bool get_byte(const xserver_standin& server, unsigned char& byte, int seconds)
{
    for (int tenths = 0; tenths < seconds * 10 && !*server.stop; ++tenths) {
        pollfd watch{server.fd, POLLIN, 0};
        if (poll(&watch, 1, 100) == 1)
            return read(server.fd, &byte, 1) == 1;
    }
    return false;
}

std::string get_bytes(const xserver_standin& server, std::size_t size)
{
    std::string bytes;
    for (unsigned char byte = 0; bytes.size() < size && get_byte(server, byte, 2);)
        bytes += static_cast<char>(byte);
    return bytes;
}

// Sends a reply again every second until it is ACKed, ten times at most,
// as the ROM does: a NAK gets it again at once, any other byte is ignored.
void reply(xserver_standin& server, const std::string& data)
{
    std::string packet = xserver_packet(data);
    if (server.quirks.find("badsum") != npos) {
        server.quirks.erase(server.quirks.find("badsum"), 6);
        packet.back() = static_cast<char>(packet.back() ^ 1);
    }
    for (int sent = 0; sent < 10; ++sent) {
        put(server.fd, packet);
        if (server.quirks.find("repeats") != npos)
            put(server.fd, packet);
        const auto again = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (unsigned char answer = 0; std::chrono::steady_clock::now() < again && !*server.stop;) {
            pollfd watch{server.fd, POLLIN, 0};
            if (poll(&watch, 1, 100) != 1 || read(server.fd, &answer, 1) != 1)
                continue;
            if (answer == xmodem_ack)
                return;
            if (answer == xmodem_nak)
                break;
        }
        packet = xserver_packet(data);
    }
}

// A packet after P or G: its data, or nothing after NAKs for a bad sum.
bool get_packet(xserver_standin& server, std::string& data)
{
    for (int naks = 0; naks < 10; ++naks) {
        std::string head = get_bytes(server, 2);
        if (head.size() < 2)
            return false;
        const std::size_t size = std::size_t{static_cast<unsigned char>(head[0])} << 8 | static_cast<unsigned char>(head[1]);
        std::string rest = get_bytes(server, size + 1);
        xserver_scan scan = scan_xserver_packet(head + rest);
        if (scan.status == xserver_scan_status::whole) {
            data = scan.data;
            put(server.fd, bytes_of({xmodem_ack}));
            return true;
        }
        put(server.fd, bytes_of({xmodem_nak}));
    }
    return false;
}

std::string block_of(unsigned number, std::string data)
{
    const unsigned crc = crc_update(0, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return bytes_of({data.size() == 1024 ? xmodem_stx : xmodem_soh, int(number & 0xFF), int(~number & 0xFF)}) + data +
           bytes_of({int(crc >> 8), int(crc & 0xFF)});
}

void put_variable(xserver_standin& server, const std::string& name)
{
    if (server.quirks.find("silent") != npos)
        return;
    std::string received;
    unsigned char byte = 0;
    for (int asks = 0; asks < 4 && received.empty(); ++asks) {
        put(server.fd, "D");
        for (unsigned number = 1; get_byte(server, byte, 3) && byte != xmodem_eot;) {
            std::string block = std::string(1, char(byte)) + get_bytes(server, (byte == xmodem_stx ? 1024 : 128) + 4);
            bool good = block.size() > 5 && block == block_of(number, block.substr(3, block.size() - 5));
            received += good ? block.substr(3, block.size() - 5) : "";
            number += good;
            put(server.fd, bytes_of({good ? xmodem_ack : xmodem_nak}));
        }
    }
    if (byte != xmodem_eot)
        return;
    put(server.fd, bytes_of({xmodem_ack}));
    bool taken = std::any_of(server.variables.begin(), server.variables.end(), [&](auto& v) { return v.first == name; });
    std::string stored = taken ? name + ".1" : name;
    const std::size_t length = received.size() >= 13 ? (static_cast<std::size_t>(object_length(
        reinterpret_cast<const unsigned char*>(received.data()) + 8)) - 5) / 2 + 13 : 0;
    received.resize(std::min(length, received.size()));
    server.variables.insert(server.variables.begin(), {stored, received});
    std::ofstream(server.folder / stored, std::ios::binary) << received;
}

void get_variable(xserver_standin& server, const std::string& object)
{
    unsigned char byte = 0;
    while (get_byte(server, byte, 10) && byte != 'D')
        ;
    std::string file = "HPHP49-C" + object.substr(8);
    unsigned number = 1;
    for (std::size_t at = 0; at < file.size(); ++number) {
        std::size_t size = file.size() - at >= 1024 ? 1024 : 128;
        std::string data = file.substr(at, size);
        data.resize(size, '\x55');   // memory, not 1A
        put(server.fd, block_of(number, data));
        if (!get_byte(server, byte, 10))
            return;
        at += byte == xmodem_ack ? size : 0;
    }
    put(server.fd, bytes_of({xmodem_eot}));
    get_byte(server, byte, 10);
}

void run_xserver(xserver_standin server)
{
    if (server.quirks.find("taken") != npos)
        server.variables.push_back({"OBJ", slurp(server.folder / "OBJ.hp")});
    for (unsigned char command = 0; get_byte(server, command, 60);) {
        std::string data;
        if (command == 'V')
            reply(server, "XModem Version 1.0");
        if (command == 'L') {
            std::string records;
            for (const auto& [name, object] : server.variables) {
                const auto field = reinterpret_cast<const unsigned char*>(object.data()) + 8;
                const unsigned prolog = object_prolog(field), nibbles = object_length(field) + 5;
                const unsigned sum = crc_update(0, field, object.size() - 8);
                records += char(name.size()) + name + bytes_of({int(prolog & 0xFF), int(prolog >> 8 & 0xFF),
                    int(nibbles & 0xFF), int(nibbles >> 8 & 0xFF), int(nibbles >> 16), int(sum & 0xFF), int(sum >> 8)});
            }
            reply(server, records);
        }
        if (command == 'P' && get_packet(server, data))
            put_variable(server, data);
        if (command == 'G' && get_packet(server, data)) {
            auto found = std::find_if(server.variables.begin(), server.variables.end(), [&](auto& v) { return v.first == data; });
            if (found == server.variables.end())
                return;   // "XSEND Error: Undefined Name": the server ends
            get_variable(server, found->second);
        }
        if (command == 'Q')
            return;
    }
}

// A row: the far end (a command line run in peer/, nothing for a
// calculator that is not listening), the program's command line in the
// folder above it, the relay's faults, and how the program must end: its
// status, a text it prints (%s for the port's name), and the file in which
// what it sent or received must arrive; last, the directory the relay
// answers with as the calculator's server, if it answers, and the most
// data packets a send may take: as many as gkermit itself sends the same
// object in to the same receiver; and how many times the far end and the
// program run, one after the other, on the one line.
struct Row {
    const char *name, *peer, *program;
    std::vector<relay_fault> faults;
    int status;
    std::string message;
    const char* arrived;
    std::string directory{};
    unsigned most_data = 0;
    unsigned runs = 1;
    // A name in the program's folder, planted before the run as a link to
    // a file outside it: neither may change.
    const char* planted = "";
    bool terminal = false;   // the program prints on a terminal
    bool held = false;   // whether the test holds the port open, as another program would
};

// The input OBJ holds 5000 bytes, runs among them; korrin writes OBJ.hp.
constexpr std::size_t input_size = 5000, object_size = string_head_size + input_size;
const std::string by_kermit = text(sent_line_text, "OBJ", object_size);
const std::string by_xmodem = text(sent_by_xmodem, object_size);
const char* const send = "korrin --send PORT OBJ";
const char* const xsend = "korrin --xmodem --send PORT OBJ";
const char* const gkermit = "gkermit -q -P -i -S -r";
// The BYTES checksum of OBJ.hp (were it not, the row checked as sent would
// fail with both figures); the server's directory as the calculator
// recorded it, and with OBJ in it.
constexpr unsigned sent_sum = 0x9F2F, other_sum = sent_sum ^ 0x5A5A;
const std::string checked = text(checked_line, "OBJ", sent_sum);
const std::string recorded = slurp(fs::path(KORRIN_LINE_DATA) / "directory.txt");
// The size counts the name too: 5005 bytes of object, 3 of name, 4.5 around them.
std::string holding(const char* type, unsigned checksum) { return recorded + text("OBJ 5012.5 %s %u.\r\n", type, checksum); }
const std::string listed = text(listed_line, "OBJ", "string", "5005.", sent_sum);

const Row rows[] = {
    {"KermitToGkermitMaxl94CheckUnanswered", "gkermit -q -P -i -S -r -e 94", send, {}, 0, by_kermit + not_checked,
     "peer/OBJ", "", 62},
    // The check finds the line cut, the object being there already.
    {"KermitToGkermitMaxl40PacketDamagedAndRepeated", "gkermit -q -P -i -S -r -e 40", send,
     {{'D', 3, fault::corrupt}, {'D', 6, fault::duplicate}, {'G', 1, fault::cut}}, 0, by_kermit + not_checked,
     "peer/OBJ", "", 161},
    {"KermitCheckedAsSent", gkermit, send, {}, 0, by_kermit + checked, "peer/OBJ", holding("String", sent_sum)},
    // The port is left as it was found: a second run opens it again.
    {"KermitTwiceOnOneLine", "gkermit -q -P -i -S -r -w", send, {}, 0, by_kermit + checked, "peer/OBJ",
     holding("String", sent_sum), 0, 2},
    {"KermitCheckedAndServerFinished", gkermit, "korrin --send PORT --finish OBJ", {}, 0, checked, "peer/OBJ",
     holding("String", sent_sum)},
    {"KermitFinishUnanswered", gkermit, "korrin --send PORT --finish OBJ", {}, 0, not_finished, "peer/OBJ"},
    {"KermitCheckFindsOtherChecksum", gkermit, send, {}, 1, text(check_differs, "OBJ", "String", other_sum, sent_sum),
     "peer/OBJ", holding("String", other_sum)},
    {"KermitCheckFindsNothing", gkermit, send, {}, 1, text(check_absent, "OBJ"), "peer/OBJ", recorded},
    {"KermitCheckFindsNoString", gkermit, send, {}, 1, text(check_differs, "OBJ", "Binary Integer", sent_sum, sent_sum),
     "peer/OBJ", holding("Binary Integer", sent_sum)},
    {"KermitLineCut", gkermit, send, {{'D', 3, fault::cut}}, 1, line_cut, ""},
    {"KermitInterrupted", gkermit, send, {{'D', 3, fault::interrupt}}, 1, transfer_stopped, ""},
    {"NameTheCalculatorCannotStore", "", "korrin --send PORT --name 2x OBJ", {}, 1, text(unstorable_name, "2x"), ""},
    {"XmodemToRxAskingC", "rx -q -b -c -X got", xsend, {}, 0, by_xmodem, "peer/got"},
    {"XmodemToRxAskingNak", "rx -q -b -X got", xsend, {}, 0, by_xmodem, "peer/got"},
    {"XmodemCancelled", "rx -q -b -c -X got", xsend, {{'X', 2, fault::cancel}}, 1, calculator_cancelled, ""},
    {"KermitFromGkermitPacketDamagedLostAndRepeated", "gkermit -q -P -i -S -s OBJ.hp", "unkorrin --receive PORT got",
     {{'D', 2, fault::corrupt}, {'D', 4, fault::drop}, {'D', 6, fault::duplicate}}, 0,
     text(received_line, "OBJ.hp", object_size), "got"},
    {"XmodemFromSx", "sx -q -b OBJ.hp", "unkorrin --xmodem --receive PORT got", {}, 0,
     text(received_unnamed, object_size), "got"},
    // A received name never replaces, follows or escapes anything, nor
    // steers the terminal.
    {"KermitNameHiddenAndTaken", "gkermit -q -P -i -S -s .bashrc", "unkorrin --receive PORT", {}, 0,
     text(saved_as_plain, ".bashrc", "bashrc") + text(saved_beside, "bashrc", "bashrc.1"), "bashrc.1", "", 0, 1,
     "bashrc"},
    // The four ways the calculator waits, found: its Kermit server and
    // RECV are the rows above; a receiver that asks by itself stands for
    // XRECV (which asks with 'D'; rx takes no 'D' and asks with C); the
    // XModem server answers 'V'.  Then the XModem server's commands and the faults of
    // its ROM's own list.
    {"FoundAReceiverAskingC", "rx -q -b -c -X got", send, {}, 0, by_xmodem, "peer/got"},
    {"XserverPutChecked", "xserv", send, {}, 0, text(sent_to_server, "OBJ", object_size) + checked, "peer/OBJ"},
    {"XserverPutOntoATakenName", "xserv taken", "korrin --send PORT --finish OBJ", {}, 0,
     text(checked_beside, "OBJ.1", sent_sum, "OBJ"), "peer/OBJ.1"},
    {"XserverBadSumAndRepeatedReplies", "xserv badsum repeats", send, {}, 0, checked, "peer/OBJ"},
    {"XserverSilentAfterPut", "xserv silent", xsend, {}, 1, text(no_answer, "XRECV or its XModem server", 9600), ""},
    {"XserverGet", "xserv taken", "unkorrin --receive PORT --get OBJ got", {}, 0,
     text(received_line, "OBJ", object_size) + text(header_line, "HPHP49-C"), "got"},
    {"XserverGetMissing", "xserv", "unkorrin --receive PORT --get NOPE got", {}, 1, text(no_such_variable, "NOPE"), ""},
    {"XserverList", "xserv taken", "unkorrin --list PORT", {}, 0, listed, ""},
    {"KermitServerList", "", "unkorrin --list PORT", {}, 0, listed, "", holding("String", sent_sum)},
    // Several files in one session, both ways, as SEND of a list sends them.
    {"KermitBatchToGkermit", gkermit, "korrin --send PORT OBJ OBJ2", {}, 0,
     by_kermit + text(sent_line_text, "OBJ2", object_size), "peer/OBJ2"},
    {"KermitBatchFromGkermit", "gkermit -q -P -i -S -s OBJ.hp OBJ2.hp", "unkorrin --receive PORT", {}, 0,
     text(received_line, "OBJ.hp", object_size) + text(received_line, "OBJ2.hp", object_size), "OBJ2.1"},
    // A file of the batch that is no string is refused; the one after it
    // is kept all the same, beside the OBJ2 that is there.
    {"KermitBatchWithAFileNoString", "gkermit -q -P -i -S -s ../OBJ OBJ2.hp", "unkorrin --receive PORT", {}, 1,
     text(saved_beside, "OBJ2", "OBJ2.1"), "OBJ2.1"},
    // On a terminal: what korrin waits for and where, then the check.
    {"WaitingAndCheckingOnATerminal", gkermit, send, {}, 0,
     text(waiting_line, "%s", "its server, RECV or XRECV"), "peer/OBJ",
     holding("String", sent_sum), 0, 1, "", true},
    // Named by no port, the port is found: the made tree of each row has
    // the calculator's USB port, which is the line.
    {"KermitToThePortFound", "gkermit -q -P -i -S -r -e 94", "korrin --send OBJ", {}, 0, by_kermit + not_checked,
     "peer/OBJ"},
    {"KermitServerListOnThePortFound", "", "unkorrin --list", {}, 0, listed, "", holding("String", sent_sum)},
    {"PortHeldByAnother", "", send, {}, 1, "%s is in use by another program: line_test (process ", "", "", 0, 1,
     "", false, true},
    {"KermitNameSteeringTheTerminal", "gkermit -q -P -i -S -s \x1b]0;X\x07\x1b[2J.hp", "unkorrin --receive PORT", {}, 0,
     text(received_line, "\\x1B]0;X\\x07\\x1B[2J.hp", object_size), "_]0;X__[2J"},
    {"GetAnsweredWithNothing", "", "unkorrin --receive PORT --get NOTES got", {}, 1,
     text(sent_nothing, "NOTES"), "", recorded},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class OverTheLine : public testing::TestWithParam<Row> {};

TEST_P(OverTheLine, ProgramEndsAsItShould)
{
    const Row& row = GetParam();
    const std::string peer = row.peer, tool = peer.substr(0, peer.find(' '));
    const bool xserv = tool == "xserv";
    if (!tool.empty() && !xserv && std::system(("command -v " + tool + " >/dev/null").c_str()) != 0)
        GTEST_SKIP() << tool << " is not installed";
    const fs::path dir = fs::temp_directory_path() / ("korrin-line-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "peer");
    std::string input(input_size, '\0');
    for (std::size_t i = 0; i < input_size; ++i)
        input[i] = static_cast<char>(i % 700 < 100 ? i / 700 : (i * 2654435761u) >> 13);
    std::ofstream(dir / "OBJ", std::ios::binary) << input << std::flush;
    int null = open("/dev/null", O_RDWR), log = open((dir / "printed").c_str(), O_WRONLY | O_CREAT, 0644);
    // The object korrin writes for OBJ, as its own tests check it.
    std::ofstream(dir / "OBJ.hp", std::ios::binary) << object_file(input) << std::flush;
    fs::copy_file(dir / "OBJ.hp", dir / "peer" / "OBJ.hp");
    fs::copy_file(dir / "OBJ.hp", dir / "peer" / "OBJ2.hp");
    fs::copy_file(dir / "OBJ", dir / "OBJ2");
    const std::size_t sent_name = peer.find(" -s ");
    if (sent_name != npos && !fs::exists(dir / "peer" / peer.substr(sent_name + 4)))
        fs::copy_file(dir / "OBJ.hp", dir / "peer" / peer.substr(sent_name + 4));
    std::ofstream(dir / "outside") << "outside";
    if (*row.planted != '\0')
        fs::create_symlink("outside", dir / row.planted);

    const std::string command = row.program;
    const bool xmodem = command.find("--xmodem") != npos, sends = command[0] == 'k';
    line_pair line;
    line.answer = row.directory.empty() ? line.answer : server_answers(row.directory);
    // XModem passes as it comes; Kermit packet by packet.
    open_line(line, row.faults, !xmodem && tool != "rx" && !xserv);
    // Wine opens COMn through a link in its prefix's dosdevices.
    const std::string port = windows ? "COM5" : line.path;
    EXPECT_TRUE(!windows || std::system(("ln -sfn " + line.path + " \"$WINEPREFIX/dosdevices/com5\"").c_str()) == 0);
    // The search for the port reads a tree made here: the calculator on
    // ttyUSB0, whose device file is the line.
    plant(dir / "root", {"ttyUSB0", "usb", "03f0", "0121", "usb_serial_simple", "", "", "", false});
    fs::create_symlink(line.path, dir / "root" / "dev" / "ttyUSB0");
    setenv("KORRIN_SYSTEM_ROOT", (dir / "root").c_str(), 1);
    serial_port holder;
    ASSERT_TRUE(!row.held || !open_port(line.path, calculator_baud, holder));
    // A peer may die writing to a line cut after its transfer.
    bool cut = std::any_of(row.faults.begin(), row.faults.end(), [](relay_fault f) { return f.kind == fault::cut; });
    std::string asked;
    for (unsigned run = 0; run < row.runs; ++run) {
        SCOPED_TRACE("run " + std::to_string(run + 1));
        ASSERT_EQ(ftruncate(log, 0) | lseek(log, 0, SEEK_SET), 0);
        pid_t far = !tool.empty() && !xserv ? spawn(peer, dir / "peer", line.peer, line.peer, null) : 0;
        std::thread server =
            xserv ? std::thread(run_xserver, xserver_standin{line.peer, dir / "peer", peer, {}, &line.stop}) : std::thread();
        int screen = -1, screen_tty = -1;
        if (row.terminal) {
            ASSERT_EQ(openpty(&screen, &screen_tty, nullptr, nullptr, nullptr), 0);
            fcntl(screen, F_SETFL, fcntl(screen, F_GETFL) | O_NONBLOCK);
        }
        line.program = spawn(command, dir, null, row.terminal ? screen_tty : log, row.terminal ? screen_tty : log, port);
        // A terminal holds what it is shown until it is read.
        std::string shown;
        int exit = 0;
        for (int ticks = 0; row.terminal && ticks < 5000 && waitpid(line.program, &exit, WNOHANG) == 0; ++ticks) {
            char buffer[4096];
            const ssize_t n = read(screen, buffer, sizeof buffer);
            shown.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            std::this_thread::sleep_for(std::chrono::milliseconds(n > 0 ? 0 : 20));
        }
        int status = row.terminal ? (WIFEXITED(exit) ? WEXITSTATUS(exit) : -1) : finish(line.program, 100);
        if (row.terminal) {
            char buffer[4096];
            for (ssize_t n; (n = read(screen, buffer, sizeof buffer)) > 0;)
                shown.append(buffer, static_cast<std::size_t>(n));
            std::ofstream(dir / "printed") << shown;
            close(screen);
            close(screen_tty);
        }
        line.stop = xserv;
        if (server.joinable())
            server.join();
        std::string printed = slurp(dir / "printed");
        printed.erase(std::remove(printed.begin(), printed.end(), '\r'), printed.end());
        int far_status = far != 0 ? finish(far, *row.arrived != '\0' ? 30 : 0) : 0;
        EXPECT_EQ(status, row.status) << printed;
        EXPECT_NE(printed.find(text(row.message.c_str(), port.c_str())), npos) << printed;
        EXPECT_EQ(printed.find('\x1b'), npos) << "the far end steered the terminal";
        EXPECT_TRUE(!row.terminal || printed.find(std::string(checking_line) + "\n" + by_kermit + checked) != npos)
            << printed;
        EXPECT_TRUE(row.status != 0 || cut || far_status == 0) << far_status;
        asked += command.find("--finish") != npos ? "DF" : sends || command.find("--list") != npos ? "D" : "";
    }
    close_port(holder);
    close_line(line);
    EXPECT_EQ(slurp(dir / "outside"), "outside");
    EXPECT_TRUE(*row.planted == '\0' || fs::is_symlink(dir / row.planted));

    // The relay answers as the server: korrin asks for the directory, and
    // ends the server when told to.
    EXPECT_TRUE(line.answer.empty() || line.commands == asked) << line.commands;
    if (*row.arrived != '\0') {
        // A sent object arrives as korrin writes it to disk, but for
        // XModem's padding of the last block; a received one as its string.
        std::string expected = slurp(dir / (sends ? "OBJ.hp" : "OBJ")), got = slurp(dir / row.arrived);
        std::size_t padding = got.size() - expected.size();   // none, or wraps round when short
        if (!line.kermit && sends && padding < xmodem_long_block && got.find_first_not_of('\x1A', expected.size()) == npos)
            got.resize(expected.size());
        EXPECT_TRUE(got == expected) << got.size() << " bytes arrived of " << expected.size();
    }
    std::size_t maxl = peer.find("-e ");
    EXPECT_LE(line.longest, maxl != npos ? std::stoul(peer.substr(maxl + 3)) : kermit_longest_packet);
    EXPECT_TRUE(row.message != transfer_stopped || line.errors >= 1) << "the calculator was not told";
    EXPECT_TRUE(row.most_data == 0 || line.data <= row.most_data) << line.data << " data packets";
    close(null);
    close(log);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Peers, OverTheLine, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// ------------------------------------------------------------- the port

// Refused while held, and left as it was found once closed: its settings
// back (a terminal's echo and line editing among them), free to open again.
TEST(Port, RefusesWhatIsNoFreePortAndLeavesItAsFound)
{
    serial_port port, second;
    EXPECT_EQ(open_port("/dev/null", calculator_baud, port), std::errc::inappropriate_io_control_operation);
    line_pair line;
    open_line(line, {}, false);
    const auto settings = [&line] {
        termios mode{};
        EXPECT_EQ(tcgetattr(line.our_tty, &mode), 0);
        return std::tuple(mode.c_iflag, mode.c_oflag, mode.c_cflag, mode.c_lflag, cfgetospeed(&mode),
                          std::string(std::begin(mode.c_cc), std::end(mode.c_cc)));
    };
    const auto found = settings();
    EXPECT_EQ(open_port(line.path, 9601, port), std::errc::invalid_argument);
    ASSERT_FALSE(open_port(line.path, calculator_baud, port));
    EXPECT_EQ(open_port(line.path, calculator_baud, second), std::errc::device_or_resource_busy);
    close_port(port);
    EXPECT_EQ(settings(), found);
    EXPECT_FALSE(open_port(line.path, calculator_baud, second));
    close_port(second);
    close_line(line);
}


}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    return programs_under_test(argc, argv, windows, programs) ? RUN_ALL_TESTS() : 2;
}
