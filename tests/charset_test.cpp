#include "charset.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using korrin::text_fault_kind;
using korrin::text_form;

struct Decoded {
    std::string bytes;
    korrin::text_fault fault;
};

// Reads `text` in pieces of `piece` bytes, each into an output of just the
// room read_text asks for.
Decoded decode(text_form form, std::string_view text, std::size_t piece = std::string_view::npos)
{
    korrin::text_reader reader = korrin::start_text(form);
    Decoded result{{}, {text_fault_kind::none, 0, 0, 0}};
    for (std::size_t at = 0; at < text.size(); at += piece) {
        const std::string_view in = text.substr(at, piece);
        std::vector<unsigned char> out(in.size() + korrin::max_held_bytes);
        const std::size_t size = korrin::read_text(reader, reinterpret_cast<const unsigned char*>(in.data()),
                                                   in.size(), out.data(), result.fault);
        result.bytes.append(reinterpret_cast<const char*>(out.data()), size);
        if (result.fault.kind != text_fault_kind::none)
            return result;
    }
    unsigned char out[korrin::max_held_bytes];
    const std::size_t size = korrin::end_text(reader, out, result.fault);
    result.bytes.append(reinterpret_cast<const char*>(out), size);
    return result;
}

// "U+0078 U+0304" as UTF-8 text, a string for each code point.
std::vector<std::string> texts(const std::string& field)
{
    static const unsigned lead[] = {0x00, 0xC0, 0xE0, 0xF0};
    std::vector<std::string> list;
    std::istringstream words(field);
    for (std::string word; words >> word;) {
        const auto c = static_cast<std::uint32_t>(std::stoul(word.substr(2), nullptr, 16));
        const int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        std::string text(1, static_cast<char>(lead[more] | c >> 6 * more));
        for (int i = more - 1; i >= 0; --i)
            text += static_cast<char>(0x80 | (c >> 6 * i & 0x3F));
        list.push_back(text);
    }
    return list;
}

// Every byte against its row of encoding/charset.tsv, the table the
// character set was made from, both ways: the text written for it, and
// that each text the row names reads back as the byte.
TEST(Charset, EachByteMatchesItsRowOfTheTable)
{
    std::ifstream table(KORRIN_CHARSET_TSV);
    int byte = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0])))
            continue;
        SCOPED_TRACE(line);
        std::vector<std::string> field(4);
        std::istringstream cells(line);
        for (std::string& cell : field)
            std::getline(cells, cell, '\t');
        ASSERT_EQ(std::stoi(field[0]), byte);
        const auto b = static_cast<unsigned char>(byte);
        const std::string one(1, static_cast<char>(byte));
        std::string unicode;
        for (const std::string& text : texts(field[1]))
            unicode += text;
        EXPECT_EQ(korrin::text_of(b), unicode);
        EXPECT_EQ(decode(text_form::utf8, unicode).bytes, one);
        for (const std::string& text : texts(field[2]))
            EXPECT_EQ(decode(text_form::utf8, text).bytes, one);
        EXPECT_EQ(korrin::trigraph_of(b), field[3]);
        EXPECT_EQ(decode(text_form::ascii, field[3].empty() ? one : field[3]).bytes, one);
        if (byte++ >= 128) {
            EXPECT_EQ(decode(text_form::ascii, "\\" + std::to_string(byte - 1)).bytes, one);
        }
    }
    EXPECT_EQ(byte, 256);
}

// What reading gave: the bytes, or the fault and its place.
std::string outcome(const Decoded& d)
{
    char place[48];
    if (d.fault.kind == text_fault_kind::none)
        return d.bytes;
    if (d.fault.kind == text_fault_kind::no_character)
        std::snprintf(place, sizeof place, "U+%04X at %ju:%ju", d.fault.code_point, d.fault.line, d.fault.column);
    else
        std::snprintf(place, sizeof place, "no text at %ju:%ju", d.fault.line, d.fault.column);
    return place;
}

struct Sample {
    text_form form;
    std::string text;
    std::string read;  // the bytes, or the fault and its place
};

// Worked by hand from the table.  Each text is read in pieces of one byte
// and whole; printable ASCII passes eight bytes at a time, so a text that
// reads is also read after every number of bytes before it up to eight.
TEST(Charset, ReadsTextAndRefusesWhatIsNone)
{
    const Sample samples[] = {
        {text_form::utf8, "xx\u0304x", "\x78\x81\x78"},
        {text_form::utf8, "\x7F\t\u00E9", "\x7F\x09\xE9"},
        {text_form::utf8, "a\r\nb\rc", "\x61\x0A\x62\x0D\x63"},
        {text_form::utf8, "x\r\n\r\r\n", "\x78\x0A\x0D\x0A"},
        {text_form::ascii, "a\\b", "\x61\x5C\x62"},
        {text_form::ascii, "a\\", "\x61\x5C"},
        {text_form::ascii, "\\x", "\x5C\x78"},
        {text_form::ascii, "\\\\<<", "\x5C\xAB"},
        {text_form::ascii, "\\<\\<<", "\x5C\x3C\xAB"},
        {text_form::ascii, "\\133\\160\\255", "\x85\xA0\xFF"},
        {text_form::ascii, "\\099\\256\\12x", "\x5C\x30\x39\x39\x5C\x32\x35\x36\x5C\x31\x32\x78"},
        {text_form::ascii, "\r\\a\r\\->\\\r\n", "\x0D\x5C\x61\x0D\x8D\x5C\x0A"},
        // Columns count characters, a line ends at LF, with or without CR.
        {text_form::utf8, "1\n2\r\n« é→ab» 12345☃", "U+2603 at 3:14"},
        {text_form::utf8, "\uFEFF" "é☃", "U+2603 at 1:2"},
        {text_form::utf8, "x☃", "U+2603 at 1:2"},
        {text_form::utf8, "a\uFEFF", "U+FEFF at 1:2"},
        {text_form::utf8, "\u0304", "U+0304 at 1:1"},
        {text_form::utf8, "\x80", "no text at 1:1"},
        {text_form::utf8, "\xC3" "a", "no text at 1:1"},
        {text_form::utf8, "a\n€\xE2\x82", "no text at 2:2"},
        {text_form::utf8, "x\xE2\x98", "no text at 1:2"},
        // Overlong, a surrogate, past the last code point.
        {text_form::utf8, "a\xC0\x80", "no text at 1:2"},
        {text_form::utf8, "\xED\xA0\x80", "no text at 1:1"},
        {text_form::utf8, "\xF4\x90\x80\x80", "no text at 1:1"},
        {text_form::ascii, "\\\xE9", "no text at 1:2"},
    };
    for (const Sample& sample : samples)
        for (std::size_t lead = 0; lead < (sample.read.find(" at ") == std::string::npos ? 8 : 1); ++lead)
            for (const std::size_t piece : {std::size_t{1}, std::string_view::npos}) {
                const std::string before(lead, 'a');
                EXPECT_EQ(outcome(decode(sample.form, before + sample.text, piece)), before + sample.read)
                    << sample.text << " after " << lead << ", in pieces of " << piece;
            }
}

}  // namespace
