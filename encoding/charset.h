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

#include "text_forms.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korrin {

// The UTF-8 text of a calculator byte: one to three bytes.  Bytes 0-126
// are their own text.
std::string_view text_of(unsigned char byte);

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

// A reader of text in pieces, for a caller that does not hold the text
// whole.  Reading either form, a line that ends in CR LF ends in LF alone
// and a lone CR stays; the ASCII form is read at level 3, without its
// header line, and reads \nnn only from 128 to 255.  The caller starts a
// text_reader with start_text, passes the text to read_text piece by piece
// and ends with end_text, writing the calculator bytes each call gives,
// until a call reports a fault.

// The most bytes a reader holds back and writes later: a backslash and
// two characters that may still become a trigraph.
inline constexpr std::size_t max_held_bytes = 3;

// What a reader holds back between two input bytes: a CR that may start
// a CR LF pair, an x that may take a combining macron, an unfinished UTF-8
// sequence or backslash sequence, and the place of the next character.  The
// fields belong to the reader's functions; callers only pass it along.
struct text_reader {
    text_form form;
    // What is held back, as bits; zero when nothing is.
    unsigned char held;
    // The UTF-8 sequence so far: its code point bits, its length in bytes
    // and the bytes still to come.
    std::uint32_t code_point;
    unsigned char sequence_size;
    unsigned char sequence_left;
    // The backslash sequence so far, backslash included, with room for
    // the byte that settles it.
    char escaped[max_held_bytes + 1];
    unsigned char escaped_size;
    // The line of the next character, counted from 1, and the characters
    // before it on that line.
    std::uintmax_t line;
    std::uintmax_t column;
};

// A reader for text of the given form, at its start.  A UTF-8 byte-order
// mark there is dropped and not counted as a character.
text_reader start_text(text_form form);

// Reads the next `size` bytes of the text from `in` and writes the
// calculator bytes they complete to `out`, apart from `in`, with room for
// size + max_held_bytes; returns their number.  A sequence makes one byte
// and may end in a later piece, so the text may come in pieces of any size,
// down to one byte, with the same result.  `fault` says why reading stopped
// short, after the bytes written before the fault, or is none; after a
// fault the reader is spent.
std::size_t read_text(text_reader& reader, const unsigned char* in, std::size_t size, unsigned char* out,
                      text_fault& fault);

// Ends the text: writes to `out`, which has room for max_held_bytes, what
// the reader still holds, and returns the number of bytes.  `fault` is as
// for read_text; a UTF-8 sequence cut short by the end is not_text.
std::size_t end_text(text_reader& reader, unsigned char* out, text_fault& fault);

}  // namespace korrin

#endif  // KORRIN_ENCODING_CHARSET_H
