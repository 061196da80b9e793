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

}  // namespace
