// What the calculator's Kermit server says about its current directory.
//
// Asked for its directory (a generic command, G with data "D"), the server
// answers with text: a first line naming the path and the free memory,
// `{ HOME } 244692.` (a half byte shows as `.5`), then one line per
// variable: its name, its size in bytes (the name counted too, halves as
// `.5`), its type in words that may hold spaces (`Binary Integer`), and the
// checksum BYTES shows, in decimal, each line ending in a full stop.  The
// HP49G's ROM 1.19-6 ends the lines in CR LF; a recording from ROM 2.15 has
// LF alone.  Both are read.

#ifndef KORRIN_LINE_DIRECTORY_H
#define KORRIN_LINE_DIRECTORY_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korrin {

enum class directory_lookup { found, absent, unreadable };

struct directory_entry {
    directory_lookup lookup = directory_lookup::unreadable;
    std::string type;              // as the calculator words it: "String", "Real Number"
    std::uint32_t checksum = 0;    // the BYTES checksum, 0 to 65535
};

// The entry for the variable `name` in the directory reply `reply`: found
// with its type and checksum; absent when the reply is whole and has no line
// for it; unreadable when the reply does not open with a path line, or the
// entry's line has no size, type and checksum.  Names compare exactly, as
// the calculator stores them (letter case counts).
directory_entry find_directory_entry(std::string_view reply, std::string_view name);

// One variable's line of the reply: its name, its size in bytes as the
// calculator writes it (the name counted, halves as `.5`), its type and
// checksum.
struct directory_line {
    std::string name;
    std::string size;
    std::string type;
    std::uint32_t checksum = 0;
};

// Every variable's line of `reply`; false when the reply does not open with
// a path line, or a line has no size, type and checksum.
bool read_directory(std::string_view reply, std::vector<directory_line>& lines);


}  // namespace korrin

#endif  // KORRIN_LINE_DIRECTORY_H
