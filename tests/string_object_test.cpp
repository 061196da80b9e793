#include "string_object.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace {

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

struct CrcRow {
    const char* bytes;
    std::size_t size;
    std::uint16_t crc;
};

// The catalogue's check value of CRC-16/KERMIT over "123456789", and the
// checksum the calculator's BYTES shows for the string "AB" (# 7ECAh, 32458
// in its server's directory): prolog 02A2C, L = 9, then the characters.
const CrcRow crc_rows[] = {
    {"", 0, 0x0000},
    {"123456789", 9, 0x2189},
    {"\x2C\x2A\x90\x00\x00" "AB", 7, 0x7ECA},
};

TEST(Checksum, KnownAnswersWholeAndInPieces)
{
    for (const CrcRow& row : crc_rows) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(row.bytes);
        EXPECT_EQ(korrin::crc_update(0, bytes, row.size), row.crc) << row.bytes;
        for (std::size_t cut = 0; cut <= row.size; ++cut)
            EXPECT_EQ(korrin::crc_update(korrin::crc_update(0, bytes, cut), bytes + cut, row.size - cut), row.crc);
    }
}

}  // namespace
