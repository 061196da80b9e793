// Names and texts that come from outside the program (over the cable, or
// inside a file), made safe before they reach a file name or a terminal.

#ifndef KORRIN_OUTPUT_NAMES_H
#define KORRIN_OUTPUT_NAMES_H

#include <cstdint>
#include <string>
#include <string_view>

namespace korrin {

// Whether the code point is one that steers a terminal or hides text
// rather than showing a character: a C0 or C1 control, DEL, or a Unicode
// format character (category Cf: the bidirectional marks, zero-width
// characters, the byte-order mark).
bool is_invisible(std::uint32_t code_point);

// The UTF-8 text `text` as it may be printed: each invisible code point as
// \xNN (below 128) or U+NNNN, each byte that is no UTF-8 as \xNN, every
// visible character as it is.
std::string visible_text(std::string_view text);

// `name`, UTF-8, as one plain file name that every system takes as it
// stands: no folder part, nothing hidden (a leading '.') or taken for an
// option (a leading '-'), no invisible character nor one Windows forbids
// in names (each such becomes '_'), no trailing dot or space, no name
// Windows keeps for a device (CON, NUL, COM1, with or without an
// extension: these gain a leading '_'), and at most 240 bytes; "received"
// when nothing is left.  A plain name comes back as it is.
std::string plain_file_name(std::string_view name);

}  // namespace korrin

#endif  // KORRIN_OUTPUT_NAMES_H
