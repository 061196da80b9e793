#include "string_object.h"

#include <array>
#include <charconv>
#include <climits>

namespace korrin {

namespace {

// L counts these nibbles besides the characters: the length field itself.
constexpr std::uintmax_t length_field_nibbles = 5;
constexpr std::uintmax_t nibbles_per_character = 2;

// The last prolog nibble shares the first length byte with L's lowest nibble.
constexpr char last_prolog_digit = '0';

// The first seven header bytes; the eighth names the writer (B for korrin,
// X for an SD card, W for an emulator, the ROM letter on an HP48) and no
// calculator checks it.
constexpr std::string_view hp49_header_start = "HPHP49-";
constexpr std::string_view hp48_header_start = "HPHP48-";

// The prolog and the length are each five nibbles, the width of an address
// on these calculators.
constexpr int address_bits = 20;
constexpr std::uint64_t address_mask = (std::uint64_t{1} << address_bits) - 1;

// Over whole bytes the calculator's nibble-wise CRC, with its factor 0x1081,
// is the bit-wise CRC with the reflected polynomial below, so what a byte
// does to the register is eight steps of that polynomial, worked out once
// for each byte value.
constexpr std::uint16_t crc_polynomial = 0x8408;

// A byte at a time, each step waits on the one before: the largest string
// takes 1.1 ms, which made unkorrin's run a third slower than cp's.  So
// table k holds what a byte does when k more bytes follow it, and a step
// takes sixteen bytes in look-ups of which only two wait on the step
// before: 0.12 ms, where eight bytes a step took 0.28 ms and thirty-two
// gained nothing.
constexpr std::size_t bytes_per_step = 16;
using crc_table = std::array<std::uint16_t, UCHAR_MAX + 1>;

constexpr std::array<crc_table, bytes_per_step> crc_tables = [] {
    std::array<crc_table, bytes_per_step> tables{};
    for (std::size_t byte = 0; byte <= UCHAR_MAX; ++byte) {
        auto crc = static_cast<std::uint16_t>(byte);
        for (int bit = 0; bit < CHAR_BIT; ++bit)
            crc = static_cast<std::uint16_t>(crc & 1u ? crc >> 1 ^ crc_polynomial : crc >> 1);
        tables[0][byte] = crc;
    }
    for (std::size_t k = 1; k < bytes_per_step; ++k)
        for (std::size_t byte = 0; byte <= UCHAR_MAX; ++byte) {
            const std::uint16_t before = tables[k - 1][byte];
            tables[k][byte] = static_cast<std::uint16_t>(before >> CHAR_BIT ^ tables[0][before & UCHAR_MAX]);
        }
    return tables;
}();

// Each kind of object opens with its own prolog, the address of the code
// that runs it on the calculator.  These are the kinds users keep and send
// most, and so the ones most likely to come in place of a string.
struct kind_of_object {
    std::uint32_t prolog;
    const char* kind;
};

constexpr kind_of_object kinds_of_object[] = {
    // The HP49's exact integers, of any length.
    {0x02614, "a long integer"},
    {0x02911, "a system binary integer"},
    {0x02933, "a real number"},
    {0x02955, "a long real number"},
    {0x02977, "a complex number"},
    {0x0299D, "a long complex number"},
    {0x029BF, "a character"},
    {0x029E8, "an array"},
    {0x02A0A, "a linked array"},
    {0x02A4E, "a binary integer"},
    {0x02A74, "a list"},
    {0x02A96, "a directory"},
    {0x02AB8, "an algebraic"},
    {0x02ADA, "a unit"},
    {0x02AFC, "a tagged object"},
    {0x02B1E, "a graphic"},
    {0x02B40, "a library"},
    {0x02B62, "a backup"},
    {0x02B88, "library data"},
    {0x02D9D, "a program"},
    {0x02DCC, "a code object"},
    {0x02E48, "a global name"},
    {0x02E6D, "a local name"},
    {0x02E92, "a library command"},
};

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

// Bytes 8-12 as the little-endian number L * 2^20 + prolog.
std::uint64_t prolog_and_length(const unsigned char* field)
{
    std::uint64_t value = 0;
    for (std::size_t i = prolog_and_length_size; i-- > 0;)
        value = value << CHAR_BIT | field[i];
    return value;
}

}  // namespace

std::string length_digits(std::uintmax_t size)
{
    const std::uintmax_t nibbles = nibbles_per_character * size + length_field_nibbles;

    // Two hexadecimal digits for each byte of the value: room for any size.
    char digits[2 * sizeof nibbles];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, nibbles, 16);
    static_cast<void>(ec);

    std::string text(digits, end);
    if (text.size() < length_field_nibbles)
        text.insert(0, length_field_nibbles - text.size(), '0');
    return text;
}

unsigned char digit_pair_byte(char first, char second)
{
    return static_cast<unsigned char>(digit_value(first) << 4 | digit_value(second));
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

std::string object_file_head(std::uintmax_t characters)
{
    const auto field = length_field_bytes(length_digits(characters));
    return std::string(object_head).append(field.begin(), field.end());
}

std::string object_file(std::string_view string)
{
    std::string object;
    object.reserve(string_head_size + string.size());
    object.append(object_file_head(string.size())).append(string);
    return object;
}

bool is_object_header(std::string_view header)
{
    if (header.size() != header_size)
        return false;
    const std::string_view start = header.substr(0, hp49_header_start.size());
    return start == hp49_header_start || start == hp48_header_start;
}

std::uint32_t object_prolog(const unsigned char* field)
{
    return static_cast<std::uint32_t>(prolog_and_length(field) & address_mask);
}

std::uint32_t object_length(const unsigned char* field)
{
    return static_cast<std::uint32_t>(prolog_and_length(field) >> address_bits & address_mask);
}

std::uintmax_t string_size(std::uint32_t length)
{
    return (length - length_field_nibbles) / nibbles_per_character;
}

const char* object_kind(std::uint32_t prolog)
{
    for (const kind_of_object& row : kinds_of_object)
        if (row.prolog == prolog)
            return row.kind;
    return nullptr;
}

std::uint16_t crc_update(std::uint16_t crc, const unsigned char* bytes, std::size_t size)
{
    const auto& t = crc_tables;
    constexpr std::size_t last = bytes_per_step - 1;
    for (; size >= bytes_per_step; size -= bytes_per_step, bytes += bytes_per_step) {
        // The register's two bytes meet the first two of the step.
        unsigned step = t[last][(crc ^ bytes[0]) & UCHAR_MAX] ^ t[last - 1][(crc >> CHAR_BIT ^ bytes[1]) & UCHAR_MAX];
        for (std::size_t i = 2; i < bytes_per_step; ++i)
            step ^= t[last - i][bytes[i]];
        crc = static_cast<std::uint16_t>(step);
    }
    for (; size != 0; --size, ++bytes)
        crc = static_cast<std::uint16_t>(crc >> CHAR_BIT ^ t[0][(crc ^ *bytes) & UCHAR_MAX]);
    return crc;
}

string_head_reading string_head(const unsigned char* bytes, std::size_t size)
{
    string_head_reading head;
    if (size < header_size || !is_object_header(std::string_view(reinterpret_cast<const char*>(bytes), header_size)))
        return head;
    head.problem = head_problem::ends_early;
    if (size < string_head_size)
        return head;
    const unsigned char* const field = bytes + header_size;
    head.prolog = object_prolog(field);
    const std::uint32_t length = object_length(field);
    head.problem = head.prolog != string_prolog         ? head_problem::not_string
                   : length < empty_string_length ? head_problem::broken_length
                   : length % 2 == 0              ? head_problem::half_byte
                                                  : head_problem::none;
    head.characters = head.problem == head_problem::none ? string_size(length) : 0;
    return head;
}

}  // namespace korrin
