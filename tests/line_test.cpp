// The line wing: the protocols as tables of what arrives and what goes out,
// then the whole transfer against independent programs (gkermit, lrzsz's rx
// and sx) over pseudo-terminals, with a relay between the two ends that
// counts packets and injects faults.

#include "directory.h"
#include "kermit.h"
#include "port.h"
#include "string_object.h"
#include "transfer.h"
#include "xmodem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace korrin;
namespace fs = std::filesystem;

// ---------------------------------------------------------------- packets

struct PacketRow {
    char type;
    unsigned seq;
    const char* data;
    unsigned check_type;
    const char* bytes;
};

// Recorded from gkermit 2.01 talking to itself over a pseudo-terminal: its
// Send-Init, its acknowledgement of one (block check 1), and acknowledgements,
// Z and B with block check 3.
const PacketRow packet_rows[] = {
    {'S', 0, "~' @-#Y3~*!J*0+++J\"U1A", 1, "\x01" "9 S~' @-#Y3~*!J*0+++J\"U1AP\r"},
    {'Y', 0, "~' @-#Y3~*!", 1, "\x01" ". Y~' @-#Y3~*!2\r"},
    {'Y', 2, "", 3, "\x01" "%\"Y.5!\r"},
    {'Y', 14, "", 3, "\x01" "%.Y$SA\r"},
    {'Z', 18, "", 3, "\x01" "%2Z$)+\r"},
    {'B', 19, "", 3, "\x01" "%3B,=:\r"},
};

TEST(KermitPacket, RecordedBytesBothWays)
{
    for (const PacketRow& row : packet_rows) {
        std::string bytes = row.bytes;
        SCOPED_TRACE(bytes);
        EXPECT_EQ(kermit_packet_bytes(kermit_packet{row.type, row.seq, row.data}, row.check_type), bytes);
        // Noise before the packet is skipped; the S is read with type 1 even
        // when type 3 was agreed, since a sender repeats it.
        kermit_scan scan = scan_kermit_packet("\r\x7fZ" + bytes, row.type == 'S' ? 3 : row.check_type);
        ASSERT_EQ(scan.status, kermit_scan_status::whole);
        EXPECT_EQ(scan.used, bytes.size() + 3 - 1);
        EXPECT_EQ(scan.packet.type, row.type);
        EXPECT_EQ(scan.packet.seq, row.seq);
        EXPECT_EQ(scan.packet.data, row.data);
    }
}

TEST(KermitPacket, DamagedAndIncomplete)
{
    std::string ack = "\x01" "%\"Y.5!\r";
    std::string flipped = ack;
    flipped[4] = '/';
    EXPECT_EQ(scan_kermit_packet(flipped, 3).status, kermit_scan_status::damaged);
    EXPECT_EQ(scan_kermit_packet(ack, 1).status, kermit_scan_status::damaged);
    EXPECT_EQ(scan_kermit_packet(ack.substr(0, 5), 3).status, kermit_scan_status::incomplete);
    // A packet that lost a byte runs into the next MARK, which starts anew.
    kermit_scan cut = scan_kermit_packet(ack.substr(0, 4) + ack, 3);
    EXPECT_EQ(cut.status, kermit_scan_status::damaged);
    EXPECT_EQ(cut.used, 4u);
}

// ----------------------------------------------------------- data fields

kermit_agreement prefixes(unsigned char qbin, unsigned char rept)
{
    kermit_agreement agreement;
    agreement.qbin = qbin;
    agreement.rept = rept;
    return agreement;
}

struct FieldRow {
    unsigned char qbin, rept;
    std::string_view bytes, field;
};

// Worked by hand from the protocol's prefixing rules.
const FieldRow field_rows[] = {
    {0, 0, "AB", "AB"},
    {0, 0, std::string_view("\0\x01\r\x1f", 4), "#@#A#M#_"},
    {0, 0, "\x7f#", "#?##"},
    {0, 0, "\x81\xff\xa3\xe1", "#\xc1#\xbf#\xa3\xe1"},
    {0, 0, "&~AAAA", "&~AAAA"},
    {'&', 0, "\x81\xc1&", "&#A&A#&"},
    {0, '~', "AAAAB~", "~$AB#~"},
    {0, '~', "AAA", "AAA"},
    {0, '~', std::string_view("\0\0\0\0\0", 5), "~%#@"},
    {'&', '~', "\x81\x81\x81\x81", "~$&#A"},
};

TEST(KermitField, PrefixesBothWays)
{
    for (const FieldRow& row : field_rows) {
        SCOPED_TRACE(std::string(row.field));
        kermit_agreement agreement = prefixes(row.qbin, row.rept);
        std::size_t taken = 0;
        EXPECT_EQ(kermit_encode(row.bytes, 0, kermit_longest_packet, agreement, taken), row.field);
        EXPECT_EQ(taken, row.bytes.size());
        EXPECT_EQ(kermit_decode(row.field, agreement), row.bytes);
    }
}

TEST(KermitField, NoByteSplitAcrossPackets)
{
    std::size_t taken = 0;
    EXPECT_EQ(kermit_encode("A\x01\x01", 0, 4, prefixes(0, 0), taken), "A#A");
    EXPECT_EQ(taken, 2u);
}

// --------------------------------------------------------- negotiation

struct AgreeRow {
    const char* theirs;
    unsigned maxl, time, check;
    unsigned char qbin, rept;
};

// Our side announces MAXL 94, block check 3, QBIN Y and REPT ~.  The first
// row is the calculator's acknowledgement (MAXL 94, TIME 13, no eighth-bit
// prefix, block check 3, no repeat counts).
const AgreeRow agree_rows[] = {
    {"~- @-# 3", 94, 13, 3, 0, 0},
    {"H' @-#Y3~*!", 40, 7, 3, 0, '~'},
    {"", 80, 0, 1, 0, 0},
    {"~' @-#&1", 94, 7, 1, '&', 0},
    {"\x7f", 94, 0, 1, 0, 0},
    {"~' @-#N2%", 94, 7, 1, 0, 0},
};

TEST(KermitSendInit, Agreement)
{
    for (const AgreeRow& row : agree_rows) {
        SCOPED_TRACE(row.theirs);
        kermit_agreement agreement = kermit_agree(kermit_parameters{}, row.theirs);
        EXPECT_EQ(agreement.send_maxl, row.maxl);
        EXPECT_EQ(agreement.peer_time, row.time);
        EXPECT_EQ(agreement.check_type, row.check);
        EXPECT_EQ(agreement.qbin, row.qbin);
        EXPECT_EQ(agreement.rept, row.rept);
    }
}

// ------------------------------------------------------ state machines

// A packet as the tables write it: its type, its number, a space and its
// data field as it stands on the line; or "timeout", or "damaged".
kermit_arrival arrival(const std::string& text)
{
    kermit_arrival a;
    if (text == "timeout")
        return a;
    if (text == "damaged") {
        a.kind = kermit_arrival_kind::damaged;
        return a;
    }
    a.kind = kermit_arrival_kind::packet;
    a.packet.type = text[0];
    std::size_t space = text.find(' ');
    a.packet.seq = static_cast<unsigned>(std::stoul(text.substr(1, space - 1)));
    if (space != std::string::npos)
        a.packet.data = text.substr(space + 1);
    return a;
}

// What went out, in the same form; a Send-Init's acknowledgement carries
// check type 1 whatever was agreed.
std::string said(const std::string& bytes, unsigned check_type)
{
    if (bytes.empty())
        return "";
    kermit_scan scan = scan_kermit_packet(bytes, check_type);
    if (scan.status != kermit_scan_status::whole)
        scan = scan_kermit_packet(bytes, 1);
    if (scan.status != kermit_scan_status::whole || scan.used + 1 != bytes.size())
        return "unreadable";
    return scan.packet.type + std::to_string(scan.packet.seq) + (scan.packet.data.empty() ? "" : " " + scan.packet.data);
}

struct Exchange {
    const char* arrives;
    const char* goes;
};

struct SessionRow {
    const char* name;
    std::function<kermit_session()> start;
    const char* first;
    std::vector<Exchange> exchanges;
    kermit_end end;
    const char* text;
    const char* received;
};

const kermit_limits few_retries{3, 5, 2};

const SessionRow session_rows[] = {
    {"send to the calculator's RECV, with a NAK, a lost ACK and a stray one",
     [] { return send_session("NAME", "ABC\x01", kermit_parameters{}, few_retries); },
     "S0 ~* @-#Y3~",
     {{"Y0 ~- @-# 3", "F1 NAME"}, {"timeout", "F1 NAME"}, {"Y1 NAME", "D2 ABC#A"}, {"N2", "D2 ABC#A"},
      {"Y1", ""}, {"damaged", "D2 ABC#A"}, {"N3", "Z3"}, {"Y3", "B4"}, {"Y4", ""}},
     kermit_end::done, "", ""},
    {"the calculator refuses the file",
     [] { return send_session("NAME", "ABC", kermit_parameters{}, few_retries); },
     "S0 ~* @-#Y3~",
     {{"Y0 ~- @-# 3", "F1 NAME"}, {"E1 Invalid Syntax", ""}},
     kermit_end::peer_error, "Invalid Syntax", ""},
    {"nobody answers: resends up to the limit, then an E packet",
     [] { return send_session("NAME", "ABC", kermit_parameters{}, few_retries); },
     "S0 ~* @-#Y3~",
     {{"timeout", "S0 ~* @-#Y3~"}, {"timeout", "S0 ~* @-#Y3~"}, {"damaged", "S0 ~* @-#Y3~"},
      {"timeout", "E0 Too many retries"}},
     kermit_end::no_answer, "Too many retries", ""},
    {"a NAK storm after the calculator answered",
     [] { return send_session("NAME", "ABC", kermit_parameters{}, few_retries); },
     "S0 ~* @-#Y3~",
     {{"Y0 ~- @-# 3", "F1 NAME"}, {"N1", "F1 NAME"}, {"N1", "F1 NAME"}, {"N1", "F1 NAME"},
      {"N1", "E1 Too many retries"}},
     kermit_end::too_many_retries, "Too many retries", ""},
    {"receive from the calculator's SEND, with a repeat, a gap and damage",
     [] { return receive_session(kermit_parameters{}, few_retries); },
     "",
     {{"timeout", "N0"}, {"S0 ~- @-#Y3", "Y0 ~* @-#N3 "}, {"F1 ABC.HP", "Y1"}, {"D2 AB#J", "Y2"},
      {"D2 AB#J", "Y2"}, {"D4 CD", "N3"}, {"damaged", "N3"}, {"D3 CD", "Y3"}, {"Z4", "Y4"}, {"B5", "Y5"}},
     kermit_end::done, "", "AB\nCD"},
    {"receive with repeat counts, as gkermit sends",
     [] { return receive_session(kermit_parameters{}, few_retries); },
     "",
     {{"S0 ~' @-#Y3~", "Y0 ~* @-#N3~"}, {"F1 A", "Y1"}, {"D2 ~$A#~", "Y2"}, {"Z3", "Y3"}, {"B4", "Y4"}},
     kermit_end::done, "", "AAAA~"},
    {"a second file is refused, not lost",
     [] { return receive_session(kermit_parameters{}, few_retries); },
     "",
     {{"S0 ~- @-#Y3", "Y0 ~* @-#N3 "}, {"F1 A", "Y1"}, {"Z2", "Y2"}, {"F3 B", "E3 One file at a time"}},
     kermit_end::refused, "One file at a time", ""},
    {"the server's directory, as the calculator sends it",
     [] { return command_session('G', "D", kermit_parameters{}, few_retries); },
     "G0 D",
     {{"S0 ~* @-#Y3", "Y0 ~* @-#N3 "}, {"X1", "Y1"}, {"D2 { HOME } 1.#M#J", "Y2"}, {"Z3", "Y3"}, {"B4", "Y4"}},
     kermit_end::done, "", "{ HOME } 1.\r\n"},
    {"finish: the server acknowledges",
     [] { return command_session('G', "F", kermit_parameters{}, few_retries); },
     "G0 F", {{"Y0", ""}}, kermit_end::done, "", ""},
    {"get a variable the calculator does not have",
     [] { return command_session('R', "NOPE", kermit_parameters{}, few_retries); },
     "R0 NOPE", {{"timeout", "R0 NOPE"}, {"E0 Undefined Name", ""}}, kermit_end::peer_error, "Undefined Name", ""},
};

TEST(KermitSession, PacketsInPacketsOut)
{
    for (const SessionRow& row : session_rows) {
        SCOPED_TRACE(row.name);
        kermit_session session = row.start();
        EXPECT_EQ(said(kermit_begin(session), 1), row.first);
        for (const Exchange& exchange : row.exchanges) {
            SCOPED_TRACE(exchange.arrives);
            ASSERT_FALSE(kermit_finished(session));
            std::string out = kermit_step(session, arrival(exchange.arrives));
            EXPECT_EQ(said(out, kermit_check_type(session)), exchange.goes);
        }
        EXPECT_TRUE(kermit_finished(session));
        EXPECT_EQ(session.end, row.end);
        EXPECT_EQ(session.error_text, row.text);
        EXPECT_EQ(session.received, row.received);
    }
}

TEST(KermitSession, AbortSendsAnEPacket)
{
    kermit_session session = send_session("N", "ABC", kermit_parameters{}, few_retries);
    kermit_begin(session);
    kermit_step(session, arrival("Y0 ~- @-# 3"));
    EXPECT_EQ(said(kermit_abort(session, "Interrupted"), 3), "E1 Interrupted");
    EXPECT_EQ(session.end, kermit_end::aborted);
}

// Data packets for 1000 letters that need no prefix: each packet carries
// MAXL less SEQ, TYPE and three check characters, so 89 bytes at MAXL 94
// and 35 at MAXL 40.
TEST(KermitSession, PacketsFillButNeverPassTheReceiversMaximum)
{
    std::string letters;
    for (int i = 0; i < 1000; ++i)
        letters += static_cast<char>('A' + i % 26);
    for (auto [maxl, packets] : {std::pair{94u, 12u}, std::pair{40u, 29u}}) {
        kermit_session session = send_session("N", letters, kermit_parameters{}, few_retries);
        kermit_begin(session);
        std::string theirs = std::string(1, static_cast<char>(maxl + 32)) + "- @-# 3";
        std::string out = kermit_step(session, arrival("Y0 " + theirs));
        unsigned data_packets = 0;
        while (!kermit_finished(session)) {
            kermit_scan scan = scan_kermit_packet(out, 3);
            ASSERT_EQ(scan.status, kermit_scan_status::whole);
            EXPECT_LE(static_cast<unsigned>(out[1]) - 32, maxl);
            data_packets += scan.packet.type == 'D';
            out = kermit_step(session, arrival("Y" + std::to_string(scan.packet.seq)));
        }
        EXPECT_EQ(data_packets, packets) << "MAXL " << maxl;
    }
}

// ----------------------------------------------------------------- XModem

// The catalogue's check values over "123456789".
TEST(XmodemCrc, KnownAnswers)
{
    auto digits = reinterpret_cast<const unsigned char*>("123456789");
    EXPECT_EQ(crc16_xmodem(0, digits, 9), 0x31C3);
    EXPECT_EQ(crc_update(0, digits, 9), 0x2189);
}

std::string bytes_of(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

struct BlockRow {
    unsigned char ask;
    std::size_t size;
    unsigned char opener;
    std::function<std::string(const std::string&)> check;
};

const BlockRow block_rows[] = {
    // The calculator's own CRC, high byte first.
    {'D', 1024, xmodem_stx, [](const std::string& d) {
         auto crc = crc_update(0, reinterpret_cast<const unsigned char*>(d.data()), d.size());
         return bytes_of({crc >> 8, crc & 0xFF});
     }},
    {'C', 128, xmodem_soh, [](const std::string& d) {
         auto crc = crc16_xmodem(0, reinterpret_cast<const unsigned char*>(d.data()), d.size());
         return bytes_of({crc >> 8, crc & 0xFF});
     }},
    // 477 for the digits and 119 pads of 1A: 3571, F3 modulo 256.
    {xmodem_nak, 128, xmodem_soh, [](const std::string&) { return bytes_of({0xF3}); }},
};

TEST(XmodemSend, EachVariantAsAsked)
{
    for (const BlockRow& row : block_rows) {
        SCOPED_TRACE(row.ask);
        xmodem_session session = xmodem_send_session("123456789", xmodem_limits{});
        EXPECT_EQ(xmodem_begin(session), "");
        std::string block = xmodem_send_step(session, {false, row.ask});
        std::string data = "123456789" + std::string(row.size - 9, '\x1A');
        EXPECT_EQ(block, bytes_of({row.opener, 1, 0xFE}) + data + row.check(data));
        EXPECT_EQ(xmodem_send_step(session, {false, row.ask}), block);
        EXPECT_EQ(xmodem_send_step(session, {false, xmodem_ack}), bytes_of({xmodem_eot}));
        EXPECT_EQ(xmodem_send_step(session, {false, xmodem_nak}), bytes_of({xmodem_eot}));
        EXPECT_EQ(xmodem_send_step(session, {false, xmodem_ack}), "");
        EXPECT_EQ(session.end, xmodem_end::done);
    }
}

TEST(XmodemSend, CancelledAndUnanswered)
{
    xmodem_session session = xmodem_send_session("x", xmodem_limits{});
    xmodem_send_step(session, {false, 'C'});
    xmodem_send_step(session, {false, xmodem_can});
    EXPECT_FALSE(xmodem_finished(session));
    xmodem_send_step(session, {false, xmodem_can});
    EXPECT_EQ(session.end, xmodem_end::cancelled);
    session = xmodem_send_session("x", xmodem_limits{});
    xmodem_send_step(session, {});
    EXPECT_EQ(session.end, xmodem_end::no_answer);
}

TEST(XmodemReceive, AsksTakesRepeatsAndRefusesDamage)
{
    xmodem_limits limits;
    limits.crc_asks = 1;
    xmodem_session session = xmodem_receive_session(limits);
    EXPECT_EQ(xmodem_begin(session), "C");
    EXPECT_EQ(xmodem_receive_step(session, {}), bytes_of({xmodem_nak}));
    std::string data(128, 'x');
    std::string block = bytes_of({xmodem_soh, 1, 0xFE}) + data + bytes_of({(128 * 'x') & 0xFF});
    auto feed = [&](const std::string& bytes) {
        std::string out;
        for (char c : bytes)
            out += xmodem_receive_step(session, {false, static_cast<unsigned char>(c)});
        return out;
    };
    EXPECT_EQ(feed(block), bytes_of({xmodem_ack}));
    EXPECT_EQ(feed(block), bytes_of({xmodem_ack}));
    std::string damaged = block;
    damaged[3] = 'y';
    damaged[1] = 2;
    damaged[2] = static_cast<char>(0xFD);
    EXPECT_EQ(feed(damaged), bytes_of({xmodem_nak}));
    EXPECT_EQ(feed(bytes_of({xmodem_eot})), bytes_of({xmodem_ack}));
    EXPECT_EQ(session.end, xmodem_end::done);
    EXPECT_EQ(session.received, data);
}

// ------------------------------------------------------------- directory

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string without_cr(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

struct DirectoryRow {
    bool lf_alone;
    const char* name;
    directory_lookup lookup;
    const char* type;
    std::uint32_t checksum;
};

// The figures stand in the calculator's recorded reply (CR LF), read also
// with LF alone as another ROM writes it.
const DirectoryRow directory_rows[] = {
    {false, "S", directory_lookup::found, "String", 32458},
    {true, "S", directory_lookup::found, "String", 32458},
    {false, "B", directory_lookup::found, "Binary Integer", 39283},
    {true, "CASDIR", directory_lookup::found, "Directory", 15302},
    {false, "s", directory_lookup::absent, "", 0},
    {false, "HOME", directory_lookup::absent, "", 0},
};

TEST(Directory, RecordedReply)
{
    std::string reply = read_file(fs::path(KORRIN_LINE_DATA) / "directory.txt");
    ASSERT_FALSE(reply.empty());
    for (const DirectoryRow& row : directory_rows) {
        SCOPED_TRACE(row.name);
        directory_entry entry = find_directory_entry(row.lf_alone ? without_cr(reply) : reply, row.name);
        EXPECT_EQ(entry.lookup, row.lookup);
        EXPECT_EQ(entry.type, row.type);
        EXPECT_EQ(entry.checksum, row.checksum);
    }
    EXPECT_EQ(find_directory_entry("Invalid Syntax", "S").lookup, directory_lookup::unreadable);
    EXPECT_EQ(find_directory_entry("{ HOME } 1.\nS 12.5 String\n", "S").lookup, directory_lookup::unreadable);
}

struct NameRow {
    const char* name;
    name_problem problem;
};

const NameRow name_rows[] = {
    {"notes", name_problem::none}, {"ABC.HP", name_problem::none}, {"x2", name_problem::none},
    {"", name_problem::empty}, {"2x", name_problem::leading_digit}, {"a b", name_problem::space},
    {"a#", name_problem::reserved_character}, {"[a", name_problem::reserved_character},
    {"a]", name_problem::reserved_character}, {"{", name_problem::reserved_character},
    {"}", name_problem::reserved_character}, {"a\xab", name_problem::reserved_character},
    {"\xbb", name_problem::reserved_character}, {"\"", name_problem::reserved_character},
    {"'", name_problem::reserved_character}, {"a:b", name_problem::reserved_character},
    {",", name_problem::reserved_character}, {";", name_problem::reserved_character},
    {"(", name_problem::reserved_character}, {")", name_problem::reserved_character},
    {"a/b", name_problem::reserved_character},
};

TEST(CalculatorName, Checks)
{
    for (const NameRow& row : name_rows)
        EXPECT_EQ(check_calculator_name(row.name).problem, row.problem) << row.name;
}

// ===================================================== over the line

// Two pseudo-terminals joined by a relay thread: our side opens the first
// one's terminal with open_port, the peer program reads and writes the
// second's.  The relay passes bytes between the two masters, reads the
// Kermit packets coming from our side, and applies one fault.
enum class fault { none, drop, corrupt, duplicate, mute, cut };

struct relay_plan {
    fault kind = fault::none;
    unsigned data_packet = 3;        // the data packet the fault hits
    std::size_t cut_after = 600;     // bytes from our side before the line is cut
};

struct relay_counts {
    std::atomic<unsigned> data_packets{0};
    std::atomic<unsigned> longest{0};
    std::atomic<unsigned> error_packets{0};
};

struct line_pair {
    int our_master = -1, peer_master = -1, peer_tty = -1;
    std::string our_path;
    std::atomic<bool> stop{false};
    std::thread relay;
    relay_counts counts;
};

void make_raw_tty(int fd)
{
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

void write_fd(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// Forwards our side's bytes packet by packet, applying the plan's fault to
// its chosen data packet.
void forward_ours(line_pair& line, const relay_plan& plan, std::string& pending, std::size_t& total)
{
    if (plan.kind == fault::cut && total >= plan.cut_after) {
        close(line.our_master);
        close(line.peer_master);
        line.our_master = line.peer_master = -1;
        return;
    }
    for (;;) {
        std::size_t mark = pending.find('\x01');
        std::size_t end = pending.find('\r', mark);
        if (mark == std::string::npos || end == std::string::npos) {
            if (mark == std::string::npos) {
                write_fd(line.peer_master, pending);
                pending.clear();
            }
            return;
        }
        std::string packet = pending.substr(0, end + 1);
        pending.erase(0, end + 1);
        char type = packet.size() > mark + 3 ? packet[mark + 3] : 0;
        line.counts.longest = std::max(line.counts.longest.load(), static_cast<unsigned>(packet[mark + 1]) - 32);
        line.counts.error_packets += type == 'E';
        if (type == 'D' && ++line.counts.data_packets == plan.data_packet) {
            if (plan.kind == fault::drop)
                continue;
            if (plan.kind == fault::corrupt)
                packet[mark + 5] ^= 0x01;
            if (plan.kind == fault::duplicate)
                write_fd(line.peer_master, packet);
        }
        write_fd(line.peer_master, packet);
    }
}

void run_relay(line_pair& line, relay_plan plan, bool kermit)
{
    std::string pending;
    std::size_t total = 0;
    char buffer[4096];
    while (!line.stop && line.our_master >= 0) {
        pollfd fds[2] = {{line.our_master, POLLIN, 0}, {line.peer_master, POLLIN, 0}};
        if (poll(fds, 2, 50) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            ssize_t n = read(line.our_master, buffer, sizeof buffer);
            if (n > 0) {
                total += static_cast<std::size_t>(n);
                if (kermit || plan.kind == fault::cut) {
                    pending.append(buffer, static_cast<std::size_t>(n));
                    forward_ours(line, plan, pending, total);
                } else if (plan.kind != fault::mute) {
                    write_fd(line.peer_master, std::string(buffer, static_cast<std::size_t>(n)));
                }
            }
        }
        if (line.peer_master >= 0 && (fds[1].revents & POLLIN)) {
            ssize_t n = read(line.peer_master, buffer, sizeof buffer);
            if (n > 0 && plan.kind != fault::mute)
                write_fd(line.our_master, std::string(buffer, static_cast<std::size_t>(n)));
        }
    }
}

void open_line(line_pair& line, relay_plan plan, bool kermit)
{
    int our_tty = -1;
    ASSERT_EQ(openpty(&line.our_master, &our_tty, nullptr, nullptr, nullptr), 0);
    line.our_path = ttyname(our_tty);
    close(our_tty);
    ASSERT_EQ(openpty(&line.peer_master, &line.peer_tty, nullptr, nullptr, nullptr), 0);
    make_raw_tty(line.peer_tty);
    line.relay = std::thread(run_relay, std::ref(line), plan, kermit);
}

void close_line(line_pair& line)
{
    line.stop = true;
    if (line.relay.joinable())
        line.relay.join();
    for (int fd : {line.our_master, line.peer_master, line.peer_tty})
        if (fd >= 0)
            close(fd);
}

bool have(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs `args` in `folder` with the terminal `tty` as its standard input and
// output, as a program on the far end of a serial line would be.
pid_t start_peer(const std::vector<std::string>& args, int tty, const fs::path& folder)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0)
            _exit(127);
        dup2(tty, 0);
        dup2(tty, 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        // The masters stay with the relay alone, or closing them would not
        // cut the line.
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The peer's exit status, or -1 when it had to be killed after `seconds`.
int wait_peer(pid_t pid, int seconds)
{
    for (int tenths = 0; tenths < seconds * 10; ++tenths) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// A string object of `size` random bytes, as korrin writes one.
std::string string_object(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string object(object_head);
    auto field = length_field_bytes(length_digits(size));
    object.append(field.begin(), field.end());
    for (std::size_t i = 0; i < size; ++i)
        object += static_cast<char>(random() & 0xFF);
    return object;
}

struct scratch {
    fs::path folder;
    scratch()
    {
        char name[] = "/tmp/korrin-line-XXXXXX";
        folder = mkdtemp(name);
    }
    ~scratch() { fs::remove_all(folder); }
};

line_timing quick_timing()
{
    line_timing timing;
    timing.kermit.first_wait = 1;
    timing.kermit.retry_limit = 3;
    timing.kermit.start_tries = 10;
    timing.xmodem.start_wait = 10;
    timing.xmodem.block_wait = 2;
    timing.check_wait = 1;
    return timing;
}

// The 'D' variant has no packaged receiver: this one asks with 'D', checks
// each block's CRC-16/KERMIT (high byte first) and number, and keeps the data.
void kermit_crc_receiver(int tty, std::string& received, bool& clean)
{
    auto get = [&](std::string& into, std::size_t size) {
        while (into.size() < size) {
            pollfd p{tty, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                return false;
            char c;
            if (read(tty, &c, 1) == 1)
                into += c;
        }
        return true;
    };
    clean = false;
    write_fd(tty, "D");
    for (unsigned char number = 1;; ++number) {
        std::string block;
        if (!get(block, 1))
            return;
        if (block[0] == xmodem_eot) {
            write_fd(tty, bytes_of({xmodem_ack}));
            clean = true;
            return;
        }
        if (block[0] != xmodem_stx || !get(block, 1 + 2 + 1024 + 2))
            return;
        auto crc = crc_update(0, reinterpret_cast<const unsigned char*>(block.data()) + 3, 1024);
        if (static_cast<unsigned char>(block[1]) != number || static_cast<unsigned char>(block[2]) != 255 - number
            || block.substr(1027) != bytes_of({crc >> 8, crc & 0xFF}))
            return;
        received += block.substr(3, 1024);
        write_fd(tty, bytes_of({xmodem_ack}));
    }
}

enum class peer_kind { gkermit, rx, kermit_crc };

struct SendRow {
    const char* name;
    peer_kind peer;
    std::vector<std::string> args;   // the peer's command line
    line_protocol protocol;
    relay_plan plan;
    std::size_t size;
    transfer_end end;
    std::size_t abort_after = 0;     // set the abort flag once this many bytes are acknowledged
};

const SendRow send_rows[] = {
    {"to gkermit, MAXL 94", peer_kind::gkermit, {"gkermit", "-q", "-P", "-i", "-S", "-r", "-e", "94", "-b", "5"},
     line_protocol::kermit, {}, 5000, transfer_end::done},
    {"to gkermit, MAXL 40", peer_kind::gkermit, {"gkermit", "-q", "-P", "-i", "-S", "-r", "-e", "40", "-b", "5"},
     line_protocol::kermit, {}, 5000, transfer_end::done},
    {"one data packet dropped", peer_kind::gkermit, {"gkermit", "-q", "-P", "-i", "-S", "-r", "-b", "2"},
     line_protocol::kermit, {fault::drop}, 2000, transfer_end::done},
    {"one data packet corrupted", peer_kind::gkermit, {"gkermit", "-q", "-P", "-i", "-S", "-r", "-b", "2"},
     line_protocol::kermit, {fault::corrupt}, 2000, transfer_end::done},
    {"one data packet twice", peer_kind::gkermit, {"gkermit", "-q", "-P", "-i", "-S", "-r", "-b", "2"},
     line_protocol::kermit, {fault::duplicate}, 2000, transfer_end::done},
    {"a receiver that never answers", peer_kind::gkermit, {"gkermit", "-q", "-P", "-i", "-S", "-r", "-b", "2"},
     line_protocol::kermit, {fault::mute}, 2000, transfer_end::no_answer},
    {"the line cut", peer_kind::gkermit, {"gkermit", "-q", "-P", "-i", "-S", "-r", "-b", "2"},
     line_protocol::kermit, {fault::cut}, 2000, transfer_end::line_cut},
    {"interrupted", peer_kind::gkermit, {"gkermit", "-q", "-P", "-i", "-S", "-r", "-b", "2"},
     line_protocol::kermit, {}, 2000, transfer_end::interrupted, 300},
    {"XModem to rx asking C", peer_kind::rx, {"rx", "-q", "-b", "-c", "-X", "got"},
     line_protocol::xmodem, {}, 3000, transfer_end::done},
    {"XModem to rx asking NAK", peer_kind::rx, {"rx", "-q", "-b", "-X", "got"},
     line_protocol::xmodem, {}, 3000, transfer_end::done},
    {"XModem to a receiver asking D", peer_kind::kermit_crc, {}, line_protocol::xmodem, {}, 3000, transfer_end::done},
};

// The file the peer stored, which holds exactly the object, but for
// XModem's padding: a whole number of blocks, filled with 1A.
void expect_arrived(const std::string& object, std::string got, line_protocol protocol)
{
    if (protocol == line_protocol::xmodem) {
        ASSERT_GE(got.size(), object.size());
        EXPECT_EQ(got.substr(object.size()), std::string(got.size() - object.size(), '\x1A'));
        EXPECT_LT(got.size() - object.size(), xmodem_long_block);
        got.resize(object.size());
    }
    EXPECT_TRUE(got == object) << "arrived " << got.size() << " bytes of " << object.size();
}

void PrintTo(const SendRow& row, std::ostream* out) { *out << row.name; }

class SendOverTheLine : public testing::TestWithParam<SendRow> {};

TEST_P(SendOverTheLine, ArrivesExactlyOrFailsClearly)
{
    const SendRow& row = GetParam();
    const char* program = row.peer == peer_kind::kermit_crc ? "true" : row.args[0].c_str();
    if (!have(program))
        GTEST_SKIP() << program << " is not installed";
    scratch dir;
    std::string object = string_object(row.size, 7);
    line_pair line;
    open_line(line, row.plan, row.protocol == line_protocol::kermit);
    std::string d_received;
    bool d_clean = false;
    std::thread d_receiver;
    pid_t peer = 0;
    if (row.peer == peer_kind::kermit_crc)
        d_receiver = std::thread(kermit_crc_receiver, line.peer_tty, std::ref(d_received), std::ref(d_clean));
    else
        peer = start_peer(row.args, line.peer_tty, dir.folder);

    serial_port port;
    ASSERT_FALSE(open_port(line.our_path, calculator_baud, port));
    volatile std::sig_atomic_t abort = 0;
    send_options options;
    options.protocol = row.protocol;
    options.name = "OBJ.HP";
    options.check = false;
    options.abort = &abort;
    options.timing = quick_timing();
    options.progress = [&](std::size_t done, std::size_t total) {
        EXPECT_EQ(total, object.size());
        if (row.abort_after != 0 && done >= row.abort_after)
            abort = 1;
    };
    auto started = std::chrono::steady_clock::now();
    transfer_result result = send_object(port, options, object);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    close_port(port);
    int status = peer != 0 ? wait_peer(peer, row.end == transfer_end::done ? 15 : 5) : 0;
    if (d_receiver.joinable())
        d_receiver.join();
    close_line(line);

    EXPECT_EQ(result.end, row.end) << result.peer_text;
    EXPECT_LE(seconds.count(), 20);
    if (row.end == transfer_end::done) {
        EXPECT_EQ(status, 0);
        EXPECT_EQ(result.bytes, object.size());
        if (row.peer == peer_kind::kermit_crc) {
            EXPECT_TRUE(d_clean);
            expect_arrived(object, d_received, row.protocol);
        } else {
            expect_arrived(object, read_file(dir.folder / (row.peer == peer_kind::rx ? "got" : "OBJ.HP")), row.protocol);
        }
    }
    if (row.end == transfer_end::interrupted) {
        EXPECT_GE(line.counts.error_packets.load(), 1u);
        EXPECT_NE(status, 0);
    }
    if (row.protocol == line_protocol::kermit && row.plan.kind == fault::none) {
        EXPECT_LE(line.counts.longest.load(), row.args[6] == "40" ? 40u : 94u);
    }
    RecordProperty("data_packets", static_cast<int>(line.counts.data_packets.load()));
}

INSTANTIATE_TEST_SUITE_P(Peers, SendOverTheLine, testing::ValuesIn(send_rows),
                         [](const testing::TestParamInfo<SendRow>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != '\0'; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

// Our data packets against gkermit's own, for the same object and the same
// receiver: never more.
TEST(PacketCount, NoMoreThanGkermit)
{
    if (!have("gkermit"))
        GTEST_SKIP() << "gkermit is not installed";
    std::string object = string_object(20000, 11);
    for (const char* maxl : {"94", "40"}) {
        unsigned counts[2] = {0, 0};
        for (int ours = 0; ours < 2; ++ours) {
            scratch dir;
            std::ofstream(dir.folder / "OBJ.HP", std::ios::binary) << object;
            fs::create_directory(dir.folder / "in");
            line_pair line;
            open_line(line, {}, true);
            pid_t receiver = start_peer({"gkermit", "-q", "-P", "-i", "-S", "-r", "-e", maxl, "-b", "5"}, line.peer_tty,
                                        dir.folder / "in");
            if (ours == 1) {
                serial_port port;
                ASSERT_FALSE(open_port(line.our_path, calculator_baud, port));
                send_options options;
                options.name = "OBJ.HP";
                options.check = false;
                EXPECT_EQ(send_object(port, options, object).end, transfer_end::done);
                close_port(port);
            } else {
                int tty = open(line.our_path.c_str(), O_RDWR | O_NOCTTY);
                make_raw_tty(tty);
                pid_t sender = start_peer({"gkermit", "-q", "-i", "-S", "-s", "OBJ.HP"}, tty, dir.folder);
                EXPECT_EQ(wait_peer(sender, 60), 0);
                close(tty);
            }
            EXPECT_EQ(wait_peer(receiver, 15), 0);
            close_line(line);
            EXPECT_TRUE(read_file(dir.folder / "in" / "OBJ.HP") == object);
            counts[ours] = line.counts.data_packets;
        }
        std::cout << "MAXL " << maxl << ": korrin " << counts[1] << " data packets, gkermit " << counts[0] << '\n';
        EXPECT_LE(counts[1], counts[0]);
        RecordProperty(std::string("gkermit_") + maxl, static_cast<int>(counts[0]));
        RecordProperty(std::string("korrin_") + maxl, static_cast<int>(counts[1]));
    }
}

struct ReceiveRow {
    const char* name;
    std::vector<std::string> args;
    line_protocol protocol;
    relay_plan plan;
    const char* expected_name;
};

const ReceiveRow receive_rows[] = {
    {"from gkermit", {"gkermit", "-q", "-i", "-S", "-s", "OBJ.HP"}, line_protocol::kermit, {}, "OBJ.HP"},
    {"from sx", {"sx", "-q", "-b", "OBJ.HP"}, line_protocol::xmodem, {}, ""},
};

void PrintTo(const ReceiveRow& row, std::ostream* out) { *out << row.name; }

class ReceiveOverTheLine : public testing::TestWithParam<ReceiveRow> {};

TEST_P(ReceiveOverTheLine, ArrivesExactly)
{
    const ReceiveRow& row = GetParam();
    if (!have(row.args[0].c_str()))
        GTEST_SKIP() << row.args[0] << " is not installed";
    scratch dir;
    std::string object = string_object(3000, 5);
    std::ofstream(dir.folder / "OBJ.HP", std::ios::binary) << object;
    line_pair line;
    open_line(line, row.plan, row.protocol == line_protocol::kermit);
    pid_t peer = start_peer(row.args, line.peer_tty, dir.folder);
    serial_port port;
    ASSERT_FALSE(open_port(line.our_path, calculator_baud, port));
    receive_options options;
    options.protocol = row.protocol;
    options.timing = quick_timing();
    std::string name, got;
    transfer_result result = receive_object(port, options, name, got);
    close_port(port);
    EXPECT_EQ(wait_peer(peer, 15), 0);
    close_line(line);
    EXPECT_EQ(result.end, transfer_end::done) << result.peer_text;
    EXPECT_EQ(name, row.expected_name);
    EXPECT_TRUE(got == object) << got.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Peers, ReceiveOverTheLine, testing::ValuesIn(receive_rows),
                         [](const testing::TestParamInfo<ReceiveRow>& info) {
                             return std::string(info.param.args[0]);
                         });

// ------------------------------------------------------------- the port

TEST(Port, RefusesWhatIsNoFreePort)
{
    serial_port port;
    EXPECT_EQ(open_port("/nonexistent/ttyUSB9", calculator_baud, port), std::errc::no_such_file_or_directory);
    EXPECT_EQ(open_port("/tmp", calculator_baud, port), std::errc::is_a_directory);
    EXPECT_EQ(open_port("/dev/null", calculator_baud, port), std::errc::inappropriate_io_control_operation);
    line_pair line;
    open_line(line, {}, false);
    EXPECT_EQ(open_port(line.our_path, 9601, port), std::errc::invalid_argument);
    ASSERT_FALSE(open_port(line.our_path, calculator_baud, port));
    serial_port second;
    EXPECT_EQ(open_port(line.our_path, calculator_baud, second), std::errc::device_or_resource_busy);
    close_port(port);
    close_line(line);
}

}  // namespace
