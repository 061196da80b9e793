// The text forms a string takes on a computer, read whole and written whole.
//
// UTF-8 text    each calculator character as the Unicode character it looks
//               like (charset.h); a line ends in LF or CR LF, the
//               calculator's line break being LF alone.  A byte-order mark
//               may open the text.
// ASCII form    what the calculator's own translated transfers read and
//               write.  A file may open with a header line
//                   %%HP: T(3)A(R)F(.);
//               whose T(n) names the translation level its text is read at,
//               as the calculator's receive reads it:
//                 T(0)  nothing is translated, CR LF included;
//                 T(1)  CR LF becomes LF;
//                 T(2)  also \\ becomes one backslash, the trigraphs of
//                       128-159 (\GS) their bytes, and \nnn, exactly three
//                       decimal digits, the byte 000-159;
//                 T(3)  the same for every trigraph, and \nnn for 000-255.
//               With no header the level is 3.  A backslash that starts
//               none of these stays as written: \256 is four characters,
//               \1234 is byte 123 then "4".  A CR LF becomes LF before
//               anything else is read, so \013 followed by LF is CR LF.
// Sent text     what the calculator's SEND writes for a string with flag
//               -35 clear: a header line "%%HP: T(n)A(R)F(.);" and CR LF,
//               then the string in double quotes, read at level n and then
//               as the calculator's string syntax, which knows \" for a
//               quote, \\ for a backslash and \00 for byte 0.  At levels 2
//               and 3 every backslash of that syntax is doubled (\\" for a
//               quote) and the bytes above 127 are trigraphs or \nnn as at
//               T(3) above; from level 1 on SEND writes an LF as CR LF.
//               SEND writes a CR LF of the string as CR LF too, so a
//               string's CR LF comes back as LF, on the calculator as here.
//
// Nothing here reads a file or prints: a whole text in, calculator bytes
// and the places of its faults out.

#ifndef KORRIN_ENCODING_TEXT_FORMS_H
#define KORRIN_ENCODING_TEXT_FORMS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korrin {

enum class text_form { utf8, ascii };

// What the text reader is asked for.  `replace` applies to UTF-8 text
// only: each character the calculator lacks becomes its look-alike, or
// "?" when it has none, instead of refusing the text.
struct text_options {
    text_form form;
    bool replace;
};

// How many faults a reading lists; it counts them all.
inline constexpr std::size_t listed_faults = 10;

enum class text_fault_kind {
    none,
    // Bytes that are no UTF-8 in UTF-8 text.
    not_utf8,
    // A character the calculator has no byte for.
    no_character,
    // A byte above 127 in the ASCII form.
    not_ascii,
    // A UTF-8 byte-order mark opening the ASCII form: the text was saved as
    // UTF-8, and wanted --text.
    byte_order_mark,
};

// One place a text could not be read, or, for a reading with `replace`, the
// first character replaced.  The line is one more than the LFs before it;
// the column one more than the characters between the last LF and it, a
// character being a code point, or an ASCII byte in the ASCII form.  A
// run of bytes that is no UTF-8 counts as one character, as an editor's
// replacement mark would.  `bytes` holds the character as the text has it
// (`size` of them, at most 4, an invalid run cut at 4); `code_point` is the
// character's code point for no_character and byte_order_mark, and for
// not_ascii where the bytes are a UTF-8 character, else 0.
struct text_fault {
    text_fault_kind kind;
    std::uint32_t code_point;
    std::uintmax_t line;
    std::uintmax_t column;
    std::array<unsigned char, 4> bytes;
    std::size_t size;
};

// What a whole text became.  `bytes` is the string's characters, whole
// when fault_count is 0.  For the ASCII form, `header` says whether a
// %%HP: line opened the text and was dropped, `level` is the level read,
// and `trigraphs_kept` is set where a T(0) or T(1) header stands before
// text that level 3 would have translated (a trigraph or \nnn): the
// calculator too keeps them as written.
struct text_reading {
    std::string bytes;
    std::vector<text_fault> faults;
    std::uintmax_t fault_count;
    std::uintmax_t replaced;
    text_fault first_replaced;
    bool header;
    int level;
    bool trigraphs_kept;
};

// Reads the whole of `text` in the form `options` names, writing the bytes
// over the text itself, as no character becomes more bytes than its text
// takes (a caller that holds the text moves it in), and lists every
// fault: for UTF-8 text, bytes that are no UTF-8 (not_utf8) and characters
// the calculator lacks (no_character); for the ASCII form, a UTF-8
// byte-order mark at its start (byte_order_mark) and any other byte above
// 127 (not_ascii), in a header line as in the text.
text_reading read_whole_text(std::string text, const text_options& options);

// Whether bytes given without a text option look like text saved on a PC:
// they are all UTF-8, with no control character but tab, LF and CR, and
// either open with a byte-order mark, or end a line in CR LF, or hold a
// character beyond ASCII.  Such a file most likely wanted --text.  With
// `more_follows`, `bytes` are the start of a file, and a UTF-8 sequence
// cut at their end is no fault.
bool looks_like_pc_text(std::string_view bytes, bool more_follows);

// Whether `start`, the first bytes of a file, opens as the calculator's
// text forms do, with "%%HP:": text SEND wrote, or the ASCII form.
inline constexpr std::string_view calculator_text_start = "%%HP:";
inline bool is_calculator_text(std::string_view start)
{
    return start.substr(0, calculator_text_start.size()) == calculator_text_start;
}

// The header line the calculator writes before a text at level 3; the
// ASCII form opens with it.
inline constexpr std::string_view ascii_header = "%%HP: T(3)A(R)F(.);\n";

// The ASCII form of a string: ascii_header, then the string's bytes as SEND
// writes them at level 3, outside the string syntax: every backslash
// doubled, 128-255 as trigraphs or \nnn, LF as LF, the other bytes as they
// are, except a CR before an LF, written \013 so that reading does not take
// the pair for a line break.  read_whole_text in the ASCII form gives back
// exactly the string, for every string.
std::string ascii_form(std::string_view string);

// Why sent text could not be read, at the place of the first fault.
enum class sent_fault_kind {
    none,
    // The text does not open with a %%HP: line naming T(0) to T(3).
    no_header,
    // After the header line comes something other than a double quote.
    not_a_string,
    // The text ends inside the string; the place is its opening quote.
    unclosed_string,
    // A backslash sequence, or a byte, SEND does not write at this level.
    not_as_sent,
    // Something other than one line end follows the closing quote.
    after_string,
};

struct sent_fault {
    sent_fault_kind kind;
    std::uintmax_t line;
    std::uintmax_t column;
};

// What sent text held: the string's bytes, whole when the fault is none,
// and the level its header named.
struct sent_reading {
    std::string bytes;
    int level;
    sent_fault fault;
};

// Reads what the calculator's SEND writes for a string: the header line
// (ended by CR LF, or LF), then the quoted string at the header's level.
// The column counts bytes.  One line end may follow the closing quote, as
// an editor may add it.
sent_reading read_sent_text(std::string_view text);

}  // namespace korrin

#endif  // KORRIN_ENCODING_TEXT_FORMS_H
