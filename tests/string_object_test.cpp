#include "string_object.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using korrin::crc_update;
using korrin::length_digits;
using korrin::length_field_bytes;

struct LengthRow {
    std::uintmax_t size;
    const char* text;
    std::array<unsigned char, 3> bytes;
};

// Worked by hand from L = 2S + 5: the sizes on either side of each
// rollover of L's hexadecimal digits.  The format's own worked values are
// checked on korrin's transcript.
const LengthRow length_rows[] = {
    {1, "00007", {0x70, 0x00, 0x00}},
    {100, "000cd", {0xd0, 0x0c, 0x00}},
    {5, "0000f", {0xf0, 0x00, 0x00}},
    {6, "00011", {0x10, 0x01, 0x00}},
    {125, "000ff", {0xf0, 0x0f, 0x00}},
    {126, "00101", {0x10, 0x10, 0x00}},
    {2045, "00fff", {0xf0, 0xff, 0x00}},
    {2046, "01001", {0x10, 0x00, 0x01}},
    {32765, "0ffff", {0xf0, 0xff, 0x0f}},
    {32766, "10001", {0x10, 0x00, 0x10}},
};

TEST(LengthField, WorkedValues)
{
    for (const LengthRow& row : length_rows) {
        SCOPED_TRACE("size " + std::to_string(row.size));
        EXPECT_EQ(length_digits(row.size), row.text);
        EXPECT_EQ(length_field_bytes(row.text), row.bytes);
    }
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

}  // namespace
