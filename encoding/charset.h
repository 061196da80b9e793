// The HP49's character set, and the two text forms a string's characters
// take on a computer.
//
// The calculator has one byte for each character.  Bytes 0-126 are ASCII,
// with 0-31 the control characters (tab, line feed, carriage return);
// byte 127 is a shaded block, 128-159 are mathematical signs, arrows and
// Greek letters, and 160-255 mostly follow Latin-1.  Two text forms stand
// for these bytes (text_forms.h reads and writes them whole):
//   UTF-8 text   each byte is a character with code points of its own:
//                one each, but two for byte 129, the x with a bar over it
//                (x, then U+0304 COMBINING MACRON).  No two bytes share a
//                text, so bytes -> text -> bytes is exact.  A few bytes are
//                also read from other code points that look the same on the
//                calculator, such as U+2220 for the angle 128.
//   ASCII form   the form the calculator's translated transfers use: bytes
//                0-127 stand for themselves, and each of 128-255 is a
//                backslash and two characters (a trigraph, \<< for 171) or
//                three decimal digits (\160).
//
// Nothing here touches a file or prints.

#ifndef KORRIN_ENCODING_CHARSET_H
#define KORRIN_ENCODING_CHARSET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korrin {

// The UTF-8 text of a calculator byte: one to three bytes.  Bytes 0-126
// are their own text.
std::string_view text_of(unsigned char byte);

// The UTF-8 text of the calculator's characters `bytes`: a name or a
// message it sent.
std::string utf8_of(std::string_view bytes);

// The trigraph of a byte from 128 to 255 as the calculator writes it at
// level 3, a backslash and two characters or three decimal digits; empty
// for bytes 0-127, which need none.
std::string_view trigraph_of(unsigned char byte);

// The x with a bar over it, byte 129, is the one character whose text is
// two code points: an x, then this combining macron.
inline constexpr unsigned char x_bar = 129;
inline constexpr std::uint32_t combining_macron = 0x0304;

// The byte a code point reads as in UTF-8 text, ASCII as itself, or -1 when
// the calculator has no such character.  The combining macron alone is
// none: it means x_bar only after an x.
int byte_of(std::uint32_t code_point);

}  // namespace korrin

#endif  // KORRIN_ENCODING_CHARSET_H
