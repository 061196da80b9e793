#include "string_object.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_view_literals;

using korrin::crc_update;
using korrin::digit_pair_byte;
using korrin::is_object_header;
using korrin::length_digits;
using korrin::length_field_bytes;
using korrin::object_length;
using korrin::object_prolog;
using korrin::string_size;

const unsigned char* bytes_of(std::string_view text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The object file korrin writes for `characters`.
std::string string_object(std::string_view characters)
{
    const std::array<unsigned char, 3> field = length_field_bytes(length_digits(characters.size()));
    std::string object(korrin::object_head);
    object.append(field.begin(), field.end());
    object.append(characters);
    return object;
}

struct LengthRow {
    std::uintmax_t size;
    const char* text;
    std::array<unsigned char, 3> bytes;
};

// Worked by hand from L = 2S + 5: the format's own worked values, then the
// sizes on either side of each rollover of L's hexadecimal digits.
const LengthRow length_rows[] = {
    {0, "00005", {0x50, 0x00, 0x00}},
    {1, "00007", {0x70, 0x00, 0x00}},
    {3, "0000b", {0xb0, 0x00, 0x00}},
    {100, "000cd", {0xd0, 0x0c, 0x00}},
    {1000, "007d5", {0x50, 0x7d, 0x00}},
    {5, "0000f", {0xf0, 0x00, 0x00}},
    {6, "00011", {0x10, 0x01, 0x00}},
    {125, "000ff", {0xf0, 0x0f, 0x00}},
    {126, "00101", {0x10, 0x10, 0x00}},
    {2045, "00fff", {0xf0, 0xff, 0x00}},
    {2046, "01001", {0x10, 0x00, 0x01}},
    {32765, "0ffff", {0xf0, 0xff, 0x0f}},
    {32766, "10001", {0x10, 0x00, 0x10}},
    {524285, "fffff", {0xf0, 0xff, 0xff}},
};

TEST(LengthField, WorkedValues)
{
    for (const LengthRow& row : length_rows) {
        SCOPED_TRACE("size " + std::to_string(row.size));
        EXPECT_EQ(length_digits(row.size), row.text);
        EXPECT_EQ(length_field_bytes(row.text), row.bytes);
    }
}

// The bytes come from the text, so check every size the format holds
// against the numeric rule: bytes 8-12 read little-endian are
// L * 2^20 + 02A2C hex, the prolog below the length.
TEST(LengthField, MatchesTheNumericRuleForEverySize)
{
    const std::uint64_t prolog = 0x02a2c;
    for (std::uintmax_t size = 0; size <= korrin::max_string_bytes; ++size) {
        const std::string text = length_digits(size);
        const std::array<unsigned char, 3> bytes = length_field_bytes(text);
        const std::uint64_t field = std::uint64_t{static_cast<unsigned char>(korrin::object_head[8])} |
                                    std::uint64_t{static_cast<unsigned char>(korrin::object_head[9])} << 8 |
                                    std::uint64_t{bytes[0]} << 16 | std::uint64_t{bytes[1]} << 24 |
                                    std::uint64_t{bytes[2]} << 32;
        const std::uint64_t length = 2 * size + 5;
        if (text.size() != 5 || field != (length << 20 | prolog)) {
            ADD_FAILURE() << "size " << size << ": text " << text << ", field " << std::hex << field;
            return;
        }
    }
}

// Every length the encoder writes, the decoder reads back: the prolog, the
// length in nibbles and the number of characters.
TEST(LengthField, ReadsBackForEverySize)
{
    for (std::uintmax_t size = 0; size <= korrin::max_string_bytes; ++size) {
        const std::array<unsigned char, 3> bytes = length_field_bytes(length_digits(size));
        const unsigned char field[] = {',', '*', bytes[0], bytes[1], bytes[2]};
        const std::uint32_t prolog = object_prolog(field);
        const std::uint32_t length = object_length(field);
        if (prolog != korrin::string_prolog || length != 2 * size + 5 || string_size(length) != size) {
            ADD_FAILURE() << "size " << size << ": prolog " << std::hex << prolog << ", length " << length;
            return;
        }
    }
}

TEST(LengthField, PastTheLimitTheTextGrowsAndNoLengthIsBuilt)
{
    EXPECT_EQ(length_digits(korrin::max_string_bytes + 1), "100001");
    const std::array<unsigned char, 3> none = {0, 0, 0};
    EXPECT_EQ(length_field_bytes("100001"), none);
}

TEST(ObjectHeader, AnyEighthByteAfterHp49OrHp48)
{
    struct Row {
        std::string_view header;
        bool accepted;
    };
    // B from korrin, X from an SD card, W from an emulator, E an HP48 ROM.
    const Row rows[] = {
        {"HPHP49-B"sv, true},  {"HPHP49-X"sv, true},  {"HPHP49-W"sv, true},
        {"HPHP48-E"sv, true},  {"HPHP49-\0"sv, true}, {"HPHP50-B"sv, false},
        {"hphp49-B"sv, false}, {"HPHP49-"sv, false},  {"HPHP49B-"sv, false},
        {"HPHP49-BB"sv, false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(is_object_header(row.header), row.accepted) << row.header;
}

// What the calculator's BYTES command shows for a string: the checksum over
// everything after the header, and the size in bytes of the same span.
// Confirmed by BYTES in the HP49G's firmware (ROM 1.19-6, in an emulator),
// each object loaded from its file.
TEST(Checksum, BytesWorkedValues)
{
    std::string every_byte_value;
    for (int value = 0; value <= 0xff; ++value)
        every_byte_value += static_cast<char>(value);
    std::ifstream sample(KORRIN_SAMPLES "/hello.txt", std::ios::binary);
    const std::string hello{std::istreambuf_iterator<char>(sample), std::istreambuf_iterator<char>()};
    ASSERT_TRUE(sample) << "samples/hello.txt could not be read";

    struct Row {
        const char* name;
        std::string characters;
        std::uint16_t checksum;
        std::size_t size;
    };
    const Row rows[] = {
        {"empty", "", 0xc7bf, 5},
        {"ABC", "ABC", 0x9cd7, 8},
        {"00 to FF", every_byte_value, 0x71df, 261},
        {"hello.txt", hello, 0x34fd, 70},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string object = string_object(row.characters);
        const std::string_view body = std::string_view(object).substr(korrin::header_size);
        EXPECT_EQ(crc_update(0, bytes_of(body), body.size()), row.checksum);
        EXPECT_EQ(body.size(), row.size);
    }
}

// The calculator's own rule, a nibble at a time and low nibble first,
// against the table, continued across two calls.
TEST(Checksum, MatchesTheNibbleRule)
{
    std::vector<unsigned char> bytes;
    for (unsigned i = 0; i < 1000; ++i)
        bytes.push_back(static_cast<unsigned char>(i * 37 + i / 256));
    std::uint16_t expected = 0;
    for (const unsigned byte : bytes)
        for (const unsigned nibble : {byte & 0xfu, byte >> 4u})
            expected = static_cast<std::uint16_t>(expected >> 4u ^ ((expected ^ nibble) & 0xfu) * 0x1081u);
    const std::uint16_t first = crc_update(0, bytes.data(), 333);
    EXPECT_EQ(crc_update(first, bytes.data() + 333, bytes.size() - 333), expected);
}

TEST(DigitPairByte, FirstCharacterIsTheHighNibble)
{
    struct Row {
        char first, second;
        unsigned char byte;
    };
    const Row rows[] = {
        {'0', '0', 0x00}, {'0', '9', 0x09}, {'7', 'd', 0x7d}, {'a', '5', 0xa5},
        {'f', 'f', 0xff}, {'F', '0', 0xf0}, {'b', 'C', 0xbc}, {'g', '1', 0x01},
    };
    for (const Row& row : rows)
        EXPECT_EQ(digit_pair_byte(row.first, row.second), row.byte) << row.first << row.second;
}

}  // namespace
