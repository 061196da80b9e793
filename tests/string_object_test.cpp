#include "string_object.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using korrin::crc_update;
using korrin::digit_pair_byte;
using korrin::length_digits;
using korrin::length_field_bytes;
using korrin::object_length;
using korrin::object_prolog;
using korrin::string_size;

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
// against the numeric rule (bytes 8-12 read little-endian are
// L * 2^20 + 02A2C hex, the prolog below the length), and that the decoder
// reads back the prolog, the length and the number of characters.
TEST(LengthField, MatchesTheNumericRuleAndReadsBackForEverySize)
{
    const std::uint64_t prolog = 0x02a2c;
    for (std::uintmax_t size = 0; size <= korrin::max_string_bytes; ++size) {
        const std::string text = length_digits(size);
        const std::array<unsigned char, 3> bytes = length_field_bytes(text);
        const unsigned char field[] = {static_cast<unsigned char>(korrin::object_head[8]),
                                       static_cast<unsigned char>(korrin::object_head[9]), bytes[0], bytes[1], bytes[2]};
        std::uint64_t value = 0;
        for (int i = 4; i >= 0; --i)
            value = value << 8 | field[i];
        const std::uint64_t length = 2 * size + 5;
        if (text.size() != 5 || value != (length << 20 | prolog) || object_prolog(field) != korrin::string_prolog ||
            object_length(field) != length || string_size(object_length(field)) != size) {
            ADD_FAILURE() << "size " << size << ": text " << text << ", field " << std::hex << value;
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

// The calculator's own rule for the checksum BYTES shows, a nibble at a
// time and low nibble first, against the tables, continued across two calls
// and over lengths that are not whole steps.  The worked BYTES figures are
// checked on unkorrin's transcript.
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
