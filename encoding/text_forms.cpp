#include "text_forms.h"

#include "charset.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace korrin {

namespace {

// Unicode's table of well-formed UTF-8 byte sequences (The Unicode
// Standard, Table 3-7): a lead byte from `first` to `last` opens a
// sequence of `size` bytes whose second byte lies from `low` to `high`
// (which keeps out overlong forms, surrogates and code points past
// 10FFFF) and whose later bytes lie from 80 to BF hex.  A lead byte keeps
// 7 - size bits of the code point, each later byte six.
struct utf8_row {
    unsigned char first;
    unsigned char last;
    std::size_t size;
    unsigned char low;
    unsigned char high;
};

constexpr utf8_row utf8_rows[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

constexpr unsigned char first_non_ascii = 0x80;
constexpr unsigned char first_continuation = 0x80;
constexpr unsigned char last_continuation = 0xBF;
constexpr unsigned continuation_bits = 6;
constexpr unsigned char continuation_value = 0x3F;

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
constexpr std::uint32_t byte_order_mark_code_point = 0xFEFF;

// One character of a text from `at`: a code point, or, where the bytes are
// no UTF-8, the longest start of a sequence that could still have been one
// (at least one byte), which Unicode counts as one mark; `cut` when that
// start runs to the end of the text.
struct utf8_character {
    std::uint32_t code_point;
    std::size_t size;
    bool valid;
    bool cut;
};

utf8_character utf8_at(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < first_non_ascii)
        return {lead, 1, true, false};
    const utf8_row* row = std::find_if(std::begin(utf8_rows), std::end(utf8_rows),
                                       [lead](const utf8_row& r) { return lead >= r.first && lead <= r.last; });
    if (row == std::end(utf8_rows))
        return {0, 1, false, false};
    std::uint32_t code_point = lead & (0x7Fu >> row->size);
    unsigned char low = row->low;
    unsigned char high = row->high;
    for (std::size_t i = 1; i < row->size; ++i) {
        if (at + i == text.size())
            return {0, i, false, true};
        const auto next = static_cast<unsigned char>(text[at + i]);
        if (next < low || next > high)
            return {0, i, false, false};
        code_point = code_point << continuation_bits | (next & continuation_value);
        low = first_continuation;
        high = last_continuation;
    }
    return {code_point, row->size, true, false};
}

// The place of the next character: its line, and the characters before it
// on that line.
struct place {
    std::uintmax_t line;
    std::uintmax_t column;
};

// The length of the line break at `at`: CR LF, which the calculator reads
// as its own line break LF when it translates at all, or LF; 0 for none.
std::size_t line_break(std::string_view text, std::size_t at)
{
    if (text[at] == '\n')
        return 1;
    return text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 0;
}

void next_line(place& at)
{
    ++at.line;
    at.column = 0;
}

text_fault fault_at(text_fault_kind kind, std::uint32_t code_point, const place& at, std::string_view bytes)
{
    text_fault fault{kind, code_point, at.line, at.column + 1, {}, std::min(bytes.size(), std::size_t{4})};
    std::copy_n(bytes.begin(), fault.size, fault.bytes.begin());
    return fault;
}

void add_fault(text_reading& reading, const text_fault& fault)
{
    if (reading.faults.size() < listed_faults)
        reading.faults.push_back(fault);
    ++reading.fault_count;
}

// The look-alikes of characters the calculator lacks: code points `first`
// to `last` become the calculator bytes `text`.  The calculator has « and »
// (171, 187), the middle dot (183) and the euro (160) of its own.
struct look_alike {
    std::uint32_t first;
    std::uint32_t last;
    std::string_view text;
};

constexpr look_alike look_alikes[] = {
    {0x00A0, 0x00A0, " "},     // no-break space
    {0x0152, 0x0152, "OE"},    // Windows-1252's 80-9F hex, letters
    {0x0153, 0x0153, "oe"},
    {0x0160, 0x0160, "S"},
    {0x0161, 0x0161, "s"},
    {0x0178, 0x0178, "Y"},
    {0x017D, 0x017D, "Z"},
    {0x017E, 0x017E, "z"},
    {0x0192, 0x0192, "f"},
    {0x02C6, 0x02C6, "^"},
    {0x02DC, 0x02DC, "~"},
    // Accents typed after their letter: the letter alone is the nearest
    // the calculator shows.
    {0x0300, 0x036F, ""},
    {0x2000, 0x200A, " "},     // en quad to hair space
    {0x200B, 0x200D, ""},      // zero-width space and joiners
    {0x2010, 0x2015, "-"},     // hyphens and dashes, ‒ – — ―
    {0x2016, 0x2016, "||"},
    {0x2017, 0x2017, "_"},
    {0x2018, 0x2019, "'"},     // ‘ ’
    {0x201A, 0x201A, ","},     // ‚
    {0x201B, 0x201B, "'"},
    {0x201C, 0x201F, "\""},    // “ ” „ ‟
    {0x2020, 0x2021, "+"},     // † ‡
    {0x2022, 0x2022, "\xB7"},  // bullet, the calculator's middle dot
    {0x2023, 0x2023, ">"},
    {0x2024, 0x2024, "."},
    {0x2025, 0x2025, ".."},
    {0x2026, 0x2026, "..."},   // ellipsis
    {0x2027, 0x2027, "\xB7"},
    {0x2028, 0x2029, "\n"},    // line and paragraph separators
    {0x202A, 0x202E, ""},      // marks of writing direction
    {0x202F, 0x202F, " "},     // narrow no-break space
    {0x2030, 0x2030, "%o"},    // per mille
    {0x2032, 0x2032, "'"},     // primes
    {0x2033, 0x2033, "\""},
    {0x2039, 0x2039, "<"},     // ‹ ›
    {0x203A, 0x203A, ">"},
    {0x205F, 0x205F, " "},
    {0x2060, 0x2060, ""},      // word joiner
    {0x2122, 0x2122, "TM"},
    {0x2212, 0x2212, "-"},     // minus sign
    {0x3000, 0x3000, " "},     // ideographic space
    {0xFEFF, 0xFEFF, ""},      // a byte-order mark within the text
};

constexpr std::string_view no_look_alike = "?";

constexpr std::size_t utf8_size(std::uint32_t code_point)
{
    return code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
}

// The bytes a text becomes are written over the text itself, which holds
// if no character becomes more bytes than it takes in the text.
constexpr bool look_alikes_fit = [] {
    for (const look_alike& row : look_alikes)
        if (row.text.size() > utf8_size(row.first) || row.text.size() > utf8_size(row.last))
            return false;
    return true;
}();
static_assert(look_alikes_fit, "a look-alike is no longer than the character it stands for");

// The calculator bytes read so far, written over the text they come from.
struct output {
    char* data;
    std::size_t size;
};

void put(output& out, char byte)
{
    out.data[out.size++] = byte;
}

std::string_view look_alike_of(std::uint32_t code_point)
{
    for (const look_alike& row : look_alikes)
        if (code_point >= row.first && code_point <= row.last)
            return row.text;
    return no_look_alike;
}

// Reads the UTF-8 character at `at` and returns its length in bytes.
std::size_t read_utf8_character(std::string_view text, std::size_t at, bool replace, place& where,
                                text_reading& reading, output& out)
{
    if (const std::size_t size = line_break(text, at)) {
        put(out, '\n');
        next_line(where);
        return size;
    }
    const utf8_character c = utf8_at(text, at);
    if (!c.valid) {
        add_fault(reading, fault_at(text_fault_kind::not_utf8, 0, where, text.substr(at, c.size)));
        ++where.column;
        return c.size;
    }
    constexpr std::string_view macron = "\xCC\x84";
    static_assert(combining_macron == 0x0304, "U+0304 is CC 84 in UTF-8");
    if (c.code_point == 'x' && text.substr(at + 1, macron.size()) == macron) {
        put(out, static_cast<char>(x_bar));
        where.column += 2;
        return 1 + macron.size();
    }
    if (const int byte = byte_of(c.code_point); byte >= 0) {
        put(out, static_cast<char>(byte));
    } else {
        const text_fault fault =
            fault_at(text_fault_kind::no_character, c.code_point, where, text.substr(at, c.size));
        if (!replace) {
            add_fault(reading, fault);
        } else {
            if (reading.replaced++ == 0)
                reading.first_replaced = fault;
            const std::string_view look_alike = look_alike_of(c.code_point);
            out.size += look_alike.copy(out.data + out.size, look_alike.size());
        }
    }
    ++where.column;
    return c.size;
}

// The line break, and the one printable character that may start
// something longer (x in UTF-8 text, the backslash in the ASCII form from
// level 2 on), take a look of their own; every other ASCII character stands
// for itself.  The rule is applied to eight bytes at once, the first in the
// low byte of `word`: it returns the place of the first byte that does not
// stand for itself, or 8.  A text is mostly such runs: read a character at
// a time, the largest text took 3.3 ms, where korrin's whole run on the
// same file as bytes takes about 1; a run at a time with the rule looked up
// for each byte, 0.35 ms; eight bytes at a time, about 0.2 ms.
constexpr std::size_t word_bytes = 8;

inline std::size_t first_not_itself(std::uint64_t word, char escape)
{
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t tops = ones << 7;
    static_assert(first_non_ascii == 0x80, "a byte from first_non_ascii on has its top bit set");
    // The top bit of each byte equal to `c`.  A byte just above such a
    // byte may be marked too, but the lowest mark is always a true one.
    const auto equal_to = [word](unsigned char c) {
        const std::uint64_t differs = word ^ ones * c;
        return (differs - ones) & ~differs & tops;
    };
    const std::uint64_t marks = (word & tops) | equal_to('\n') | equal_to('\r') |
                                equal_to(static_cast<unsigned char>(escape));
    return marks == 0 ? word_bytes : static_cast<std::size_t>(__builtin_ctzll(marks)) / CHAR_BIT;
}

// For a form where only the line break needs a look.
constexpr char no_escape = '\n';

// The eight bytes of `text` from `at`, the first in the low byte; past the
// end, zero bytes, which stand for themselves.  A whole word is one load.
std::uint64_t word_at(std::string_view text, std::size_t at)
{
    std::uint64_t word = 0;
    const std::size_t left = text.size() - at;
    if (left >= word_bytes)
        std::memcpy(&word, text.data() + at, word_bytes);
    else
        std::memcpy(&word, text.data() + at, left);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

template <typename ReadCharacter>
void read_characters(std::string_view text, std::size_t at, char escape, place where, output& out,
                     ReadCharacter read_character)
{
    while (at < text.size()) {
        const std::size_t start = at;
        for (std::size_t step = word_bytes; step == word_bytes && at < text.size(); at += step)
            step = first_not_itself(word_at(text, at), escape);
        at = std::min(at, text.size());
        // Until the first character that takes fewer bytes than its text,
        // the bytes are already in place.
        if (out.data + out.size != text.data() + start)
            std::memmove(out.data + out.size, text.data() + start, at - start);
        out.size += at - start;
        where.column += at - start;
        if (at < text.size())
            at += read_character(at, where);
    }
}

// A backslash sequence the calculator's receive translates at `level`: its
// byte, and its length, 0 where there is none.
struct escape {
    unsigned char byte;
    std::size_t size;
};

constexpr unsigned last_level_2_byte = 159;
constexpr std::size_t decimal_size = 4;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

escape escape_at(std::string_view text, std::size_t at, int level)
{
    if (level < 2 || text[at] != '\\')
        return {0, 0};
    const unsigned last = level == 2 ? last_level_2_byte : UCHAR_MAX;
    const std::string_view rest = text.substr(at);
    if (rest.size() >= 2 && rest[1] == '\\')
        return {'\\', 2};
    if (rest.size() >= decimal_size && std::all_of(rest.begin() + 1, rest.begin() + decimal_size, is_digit)) {
        const unsigned value = 100u * static_cast<unsigned>(rest[1] - '0') +
                               10u * static_cast<unsigned>(rest[2] - '0') + static_cast<unsigned>(rest[3] - '0');
        return value <= last ? escape{static_cast<unsigned char>(value), decimal_size} : escape{0, 0};
    }
    for (unsigned byte = first_non_ascii; byte <= last; ++byte) {
        const std::string_view trigraph = trigraph_of(static_cast<unsigned char>(byte));
        if (trigraph.size() < decimal_size && rest.substr(0, trigraph.size()) == trigraph)
            return {static_cast<unsigned char>(byte), trigraph.size()};
    }
    return {0, 0};
}

// The level a %%HP: header names in its T(n), or -1 when it names none.
constexpr int top_level = 3;

int level_named(std::string_view header)
{
    const std::size_t t = header.find("T(");
    if (t == std::string_view::npos || t + 3 >= header.size() || header[t + 3] != ')')
        return -1;
    const char digit = header[t + 2];
    return digit >= '0' && digit <= '0' + top_level ? digit - '0' : -1;
}

// Reads the ASCII character at `at` and returns its length in bytes.
std::size_t read_ascii_character(std::string_view text, std::size_t at, int level, place& where,
                                 text_reading& reading, output& out)
{
    if (const std::size_t size = line_break(text, at); size != 0 && (level >= 1 || size == 1)) {
        put(out, '\n');
        next_line(where);
        return size;
    }
    if (static_cast<unsigned char>(text[at]) >= first_non_ascii) {
        const utf8_character c = utf8_at(text, at);
        const bool mark = at == 0 && c.valid && c.code_point == byte_order_mark_code_point;
        add_fault(reading, fault_at(mark ? text_fault_kind::byte_order_mark : text_fault_kind::not_ascii,
                                    c.valid ? c.code_point : 0, where, text.substr(at, c.size)));
        ++where.column;
        return c.size;
    }
    if (const escape e = escape_at(text, at, level); e.size != 0) {
        put(out, static_cast<char>(e.byte));
        where.column += e.size;
        return e.size;
    }
    put(out, text[at]);
    ++where.column;
    return 1;
}

// Whether level 3 would translate a backslash sequence of `text`, which a
// lower level keeps as written.
bool holds_trigraphs(std::string_view text)
{
    for (std::size_t at = text.find('\\'); at != std::string_view::npos; at = text.find('\\', at)) {
        const escape e = escape_at(text, at, top_level);
        if (e.size != 0 && text[at + 1] != '\\')
            return true;
        at += e.size != 0 ? e.size : 1;
    }
    return false;
}

void read_ascii(std::string_view text, text_reading& reading, output& out)
{
    place where{1, 0};
    std::size_t at = 0;
    reading.level = top_level;
    // A file the calculator's translated transfers wrote opens with a line
    // of their own, which names the level the rest is read at and is no
    // part of the text, whether or not a line end closes it.
    if (is_calculator_text(text)) {
        reading.header = true;
        const std::size_t end = text.find('\n');
        const std::size_t size = end == std::string_view::npos ? text.size() : end + 1;
        if (const int level = level_named(text.substr(0, size)); level >= 0)
            reading.level = level;
        // The header is held to the form like the rest: a byte above 127
        // there is a fault too.  What it reads as is dropped.
        read_characters(text.substr(0, size), 0, no_escape, where, out,
                        [&](std::size_t i, place& p) { return read_ascii_character(text, i, 0, p, reading, out); });
        out.size = 0;
        if (end != std::string_view::npos)
            next_line(where);
        at = size;
    }
    if (reading.level < 2)
        reading.trigraphs_kept = holds_trigraphs(text.substr(at));
    read_characters(text, at, reading.level >= 2 ? '\\' : no_escape, where, out, [&](std::size_t i, place& p) {
        return read_ascii_character(text, i, reading.level, p, reading, out);
    });
}

}  // namespace

text_reading read_whole_text(std::string text, const text_options& options)
{
    text_reading reading{};
    reading.bytes = std::move(text);
    const std::string_view whole = reading.bytes;
    output out{reading.bytes.data(), 0};
    if (options.form == text_form::ascii) {
        read_ascii(whole, reading, out);
    } else {
        // A byte-order mark only says the text is UTF-8; it is no character.
        const std::size_t start =
            whole.substr(0, byte_order_mark.size()) == byte_order_mark ? byte_order_mark.size() : 0;
        read_characters(whole, start, 'x', {1, 0}, out, [&](std::size_t i, place& p) {
            return read_utf8_character(whole, i, options.replace, p, reading, out);
        });
    }
    reading.bytes.resize(out.size);
    return reading;
}

bool looks_like_pc_text(std::string_view bytes, bool more_follows)
{
    // A byte-order mark is a character beyond ASCII too.
    bool pc = false;
    for (std::size_t at = 0; at < bytes.size();) {
        const utf8_character c = utf8_at(bytes, at);
        if (!c.valid)
            return more_follows && c.cut && pc;
        if (c.code_point < ' ' && c.code_point != '\t' && c.code_point != '\n' && c.code_point != '\r')
            return false;
        pc = pc || c.size > 1 || line_break(bytes, at) == 2;
        at += c.size;
    }
    return pc;
}

std::string ascii_form(std::string_view string)
{
    std::string text(ascii_header);
    text.reserve(ascii_header.size() + decimal_size * string.size());
    for (std::size_t at = 0; at < string.size(); ++at) {
        const auto byte = static_cast<unsigned char>(string[at]);
        if (byte == '\\')
            text += "\\\\";
        else if (line_break(string, at) == 2)
            text += "\\013";
        else if (byte >= first_non_ascii)
            text += trigraph_of(byte);
        else
            text += string[at];
    }
    return text;
}

namespace {

// What SEND's text holds at a place, once its level's translation is
// undone: a byte of the string, the backslash of the string syntax, or
// something SEND does not write.
enum class unit_kind { byte, syntax_backslash, not_as_sent };

struct unit {
    unit_kind kind;
    unsigned char byte;
    std::size_t size;
};

unit sent_unit(std::string_view text, std::size_t at, int level)
{
    if (const std::size_t size = line_break(text, at); size == 2 && level >= 1)
        return {unit_kind::byte, '\n', size};
    const auto byte = static_cast<unsigned char>(text[at]);
    if (level < 2)
        return {byte == '\\' ? unit_kind::syntax_backslash : unit_kind::byte, byte, 1};
    // From level 2 on, SEND doubles each backslash of the string syntax and
    // writes the bytes it translates in one form only.
    if (byte == '\\') {
        const escape e = escape_at(text, at, level);
        if (e.byte == '\\' && e.size == 2)
            return {unit_kind::syntax_backslash, '\\', 2};
        if (e.size != 0 && e.byte >= first_non_ascii && text.substr(at, e.size) == trigraph_of(e.byte))
            return {unit_kind::byte, e.byte, e.size};
        return {unit_kind::not_as_sent, byte, 1};
    }
    if (byte >= first_non_ascii && (level == top_level || byte <= last_level_2_byte))
        return {unit_kind::not_as_sent, byte, 1};
    return {unit_kind::byte, byte, 1};
}

sent_reading refuse(sent_reading& reading, sent_fault_kind kind, const place& where)
{
    reading.fault = {kind, where.line, where.column + 1};
    return reading;
}

void pass(std::string_view text, std::size_t from, std::size_t size, place& where)
{
    for (std::size_t i = from; i < from + size; ++i)
        if (text[i] == '\n')
            next_line(where);
        else
            ++where.column;
}

}  // namespace

sent_reading read_sent_text(std::string_view text)
{
    sent_reading reading{};
    place where{1, 0};
    const std::size_t end = text.find('\n');
    if (!is_calculator_text(text) || end == std::string_view::npos)
        return refuse(reading, sent_fault_kind::no_header, where);
    reading.level = level_named(text.substr(0, end));
    if (reading.level < 0)
        return refuse(reading, sent_fault_kind::no_header, where);
    next_line(where);

    std::size_t at = end + 1;
    if (at == text.size() || text[at] != '"')
        return refuse(reading, sent_fault_kind::not_a_string, where);
    const place opening = where;
    pass(text, at++, 1, where);
    for (;;) {
        if (at == text.size())
            return refuse(reading, sent_fault_kind::unclosed_string, opening);
        const place here = where;
        const unit u = sent_unit(text, at, reading.level);
        pass(text, at, u.size, where);
        at += u.size;
        if (u.kind == unit_kind::not_as_sent)
            return refuse(reading, sent_fault_kind::not_as_sent, here);
        if (u.kind == unit_kind::byte && u.byte == '"' && u.size == 1)
            break;
        if (u.kind == unit_kind::byte) {
            reading.bytes += static_cast<char>(u.byte);
            continue;
        }
        // The string syntax knows three escapes: \" \\ and \00.
        if (at == text.size())
            return refuse(reading, sent_fault_kind::unclosed_string, opening);
        const unit next = sent_unit(text, at, reading.level);
        if (next.kind == unit_kind::syntax_backslash || (next.kind == unit_kind::byte && next.byte == '"')) {
            reading.bytes += next.kind == unit_kind::syntax_backslash ? '\\' : '"';
        } else if (text.substr(at, 2) == "00") {
            reading.bytes += '\0';
        } else {
            return refuse(reading, sent_fault_kind::not_as_sent, here);
        }
        const std::size_t size = next.kind == unit_kind::byte && next.byte != '"' ? 2 : next.size;
        pass(text, at, size, where);
        at += size;
    }
    const std::string_view rest = text.substr(at);
    if (!rest.empty() && rest != "\n" && rest != "\r\n")
        return refuse(reading, sent_fault_kind::after_string, where);
    return reading;
}

}  // namespace korrin
