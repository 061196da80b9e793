// A character string for the HP49 calculator, in the calculator's binary
// object file form, written and read back.
//
// An object file holds, in order:
//   bytes 0-7    the binary object header: "HPHP49-" and one more byte, which
//                names the writer and which no calculator checks (korrin
//                writes "HPHP49-B"); files from an HP48 say "HPHP48-";
//   bytes 8-12   the string prolog 02A2C and the object length L, as ten
//                nibbles, two to a byte with the earlier nibble in the low
//                four bits, each number least significant nibble first;
//   bytes 13-    the string's characters, one input byte each, unchanged.
// L counts the nibbles after the prolog: five for the length field itself
// and two for each character, so L = 2 * S + 5 for S characters.  The field
// is twenty bits wide, which limits a string to max_string_bytes characters.
// Nothing follows the last character: no trailer, no checksum.  The
// checksum the calculator's BYTES command shows is computed, not stored.
//
// Nothing here reads, writes or prints.  To write a string, the caller
// writes object_head, then the three length_field_bytes, then the
// characters.  To read one back, it checks the first header_size bytes with
// is_object_header, takes object_prolog and object_length from the five
// bytes after them, and finds string_size characters from string_head_size.

#ifndef KORRIN_ENCODING_STRING_OBJECT_H
#define KORRIN_ENCODING_STRING_OBJECT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korrin {

// The ten bytes that open every object file: the binary object header and
// the first four prolog nibbles (",*" is hex 2C 2A, nibbles C 2 A 2).
inline constexpr std::string_view object_head = "HPHP49-B,*";

// The most characters a string can hold: the one that makes L = FFFFF hex,
// the largest value of the twenty-bit length field.
inline constexpr std::uintmax_t max_string_bytes = 524285;

// The longest text that can still stand for a string: four bytes a
// character, the longest UTF-8 sequence and the longest \nnn, and room for
// a byte-order mark or the header line of the calculator's transfers.
inline constexpr std::uintmax_t max_text_bytes = 4 * max_string_bytes + 64;

// The length text for a string of `size` bytes: L = 2 * size + 5 in
// lowercase hexadecimal, zero-padded on the left to five characters.  For
// sizes up to max_string_bytes it has exactly five characters; past that L
// no longer fits the field and the text grows to six or more.
std::string length_digits(std::uintmax_t size);

// The byte whose two-character hexadecimal text is `first` then `second`:
// `first` gives bits 4-7 and `second` bits 0-3.  Either case of the digits
// a-f is taken; a character that is not a hexadecimal digit counts as 0.
unsigned char digit_pair_byte(char first, char second);

// The three bytes of the length field (file offsets 10, 11 and 12), built
// from the five characters d0..d4 of a length text, d0 the most significant:
// d4 followed by the prolog's last nibble, 0; then d2 d3; then d0 d1.  For a
// text from length_digits(S) with S up to max_string_bytes they are L * 16,
// little-endian.  Text of any other length does not describe a length the
// field can hold; the bytes built from it are then all zero.
std::array<unsigned char, 3> length_field_bytes(std::string_view text);

// What comes before the characters of a string of `characters` bytes:
// object_head, then the length field.
std::string object_file_head(std::uintmax_t characters);

// The whole object file of `string`, when it is held in memory: its head,
// then the characters.
std::string object_file(std::string_view string);

// The size in bytes of the binary object header, and of everything before
// the first character: the header, the prolog and the length field.
inline constexpr std::size_t header_size = 8;
inline constexpr std::size_t string_head_size = 13;
// The largest object file of a string, and so of any object: the length
// field of every kind is as wide.
inline constexpr std::size_t largest_object_file = string_head_size + max_string_bytes;

// Whether `header` is a binary object header: exactly header_size bytes,
// "HPHP49-" or "HPHP48-" and any eighth byte.  Anything else, shorter text
// included, is not, and a calculator would take such a file as plain data.
bool is_object_header(std::string_view header);

// The prolog that marks an object as a character string, the five nibbles
// 02A2C as calculator programmers write them.
inline constexpr std::uint32_t string_prolog = 0x02A2C;

// The prolog and the object length L in nibbles, from the five bytes
// `field` points at (file offsets 8-12).  Read as a 40-bit little-endian
// number those bytes are L * 2^20 + prolog: the prolog is the low twenty
// bits and L the high twenty.  Each result is below 2^20, whatever the
// bytes; for ",*" and length_field_bytes(length_digits(S)) they are
// string_prolog and 2 * S + 5.
std::uint32_t object_prolog(const unsigned char* field);
std::uint32_t object_length(const unsigned char* field);

// What an object with the given prolog is, with its article ("a program",
// "an array"), for the kinds of object users keep and send; nullptr for any
// other prolog, the string's own among them.
const char* object_kind(std::uint32_t prolog);

// The object length of the empty string: the length field counts its own
// five nibbles, so no string has less.  Each character adds two, so only an
// odd length describes a string of whole bytes.
inline constexpr std::uint32_t empty_string_length = 5;

// What a string object holds besides its characters, in bytes: the prolog
// and the length field.  The calculator's BYTES counts them in its size.
inline constexpr std::size_t prolog_and_length_size = string_head_size - header_size;

// The number of characters in a string whose object length is `length`
// nibbles: (length - 5) / 2.  Only an odd length of at least
// empty_string_length describes a string of whole bytes; for any other the
// result means nothing, so the caller refuses such a length first.
std::uintmax_t string_size(std::uint32_t length);

// What the first bytes of an object file say of the string in it, as
// string_head reads them: a whole string head, or why there is none.
enum class head_problem {
    none,           // a string of `characters` characters
    not_object,     // no binary object header: plain data
    ends_early,     // the file ends within the prolog or the length field
    not_string,     // another kind of object, marked by `prolog`
    broken_length,  // a length shorter than the empty string's
    half_byte,      // an even length: the string ends in half a byte
};
struct string_head_reading {
    head_problem problem = head_problem::not_object;
    std::uint32_t prolog = 0;
    std::uintmax_t characters = 0;
};

// Reads the first `size` bytes of an object file, of which
// string_head_size or fewer are looked at.
string_head_reading string_head(const unsigned char* bytes, std::size_t size);

// The checksum the calculator's BYTES command shows, continued from `crc`
// over the `size` bytes at `bytes`; a new object starts from 0.  It covers
// every byte after the header up to the end of the object, prolog and
// length included.  The calculator takes the object's nibbles in memory
// order, low nibble of each byte first, as
// crc = (crc >> 4) ^ (((crc ^ n) & 0xF) * 0x1081); over whole bytes that is
// CRC-16/KERMIT (reflected polynomial 0x8408, initial value 0, no final xor).
std::uint16_t crc_update(std::uint16_t crc, const unsigned char* bytes, std::size_t size);

}  // namespace korrin

#endif  // KORRIN_ENCODING_STRING_OBJECT_H
