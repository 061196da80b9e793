#include "string_object.h"

#include <charconv>

namespace korrin {

namespace {

// L counts these nibbles besides the characters: the length field itself.
constexpr std::uintmax_t length_field_nibbles = 5;
constexpr std::uintmax_t nibbles_per_character = 2;

// The last prolog nibble shares the first length byte with L's lowest nibble.
constexpr char last_prolog_digit = '0';

constexpr int hex_base = 16;
constexpr int bits_per_nibble = 4;

int digit_value(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 0xa;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 0xa;
    return 0;
}

}  // namespace

std::string length_digits(std::uintmax_t size)
{
    const std::uintmax_t nibbles = nibbles_per_character * size + length_field_nibbles;

    // Two hexadecimal digits for each byte of the value: room for any size.
    char digits[2 * sizeof nibbles];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, nibbles, hex_base);
    static_cast<void>(ec);

    std::string text(digits, end);
    if (text.size() < length_field_nibbles)
        text.insert(0, length_field_nibbles - text.size(), '0');
    return text;
}

unsigned char digit_pair_byte(char first, char second)
{
    return static_cast<unsigned char>(digit_value(first) << bits_per_nibble | digit_value(second));
}

std::array<unsigned char, 3> length_field_bytes(std::string_view text)
{
    if (text.size() != length_field_nibbles)
        return {0, 0, 0};

    // The nibbles of L go least significant first, while the text reads most
    // significant first: so the pairs are taken from the end of the text.
    return {
        digit_pair_byte(text[4], last_prolog_digit),
        digit_pair_byte(text[2], text[3]),
        digit_pair_byte(text[0], text[1]),
    };
}

}  // namespace korrin
