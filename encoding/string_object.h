// A character string for the HP49 calculator, in the calculator's binary
// object file form.
//
// An object file holds, in order:
//   bytes 0-7    the binary object header, the eight characters "HPHP49-B";
//   bytes 8-12   the string prolog 02A2C and the object length L, as ten
//                nibbles, two to a byte with the earlier nibble in the low
//                four bits, each number least significant nibble first;
//   bytes 13-    the string's characters, one input byte each, unchanged.
// L counts the nibbles after the prolog: five for the length field itself
// and two for each character, so L = 2 * S + 5 for S characters.  The field
// is twenty bits wide, which limits a string to max_string_bytes characters.
// Nothing follows the last character: no trailer, no checksum.
//
// Nothing here reads, writes or prints; the caller writes object_head, then
// the three length_field_bytes, then the characters.

#ifndef KORRIN_ENCODING_STRING_OBJECT_H
#define KORRIN_ENCODING_STRING_OBJECT_H

#include <array>
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

}  // namespace korrin

#endif  // KORRIN_ENCODING_STRING_OBJECT_H
