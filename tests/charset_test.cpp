#include "calculator_name.h"
#include "charset.h"
#include "programs.h"
#include "text_forms.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using korrin::text_fault_kind;
using korrin::text_form;

std::string read_whole_text(text_form form, std::string_view text, bool replace = false)
{
    return korrin::read_whole_text(std::string(text), {form, replace}).bytes;
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
// that each text the row names reads back as the byte, and its three
// decimal digits too in the ASCII form.
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
        EXPECT_EQ(read_whole_text(text_form::utf8, unicode), one);
        // At each place of an eight-byte word of letters, which a text's
        // runs are read by.
        for (std::size_t place = 1; place < 8; ++place) {
            const std::string letters(place, 'a');
            EXPECT_EQ(read_whole_text(text_form::utf8, letters + unicode + letters), letters + one + letters);
        }
        for (const std::string& text : texts(field[2]))
            EXPECT_EQ(read_whole_text(text_form::utf8, text), one);
        EXPECT_EQ(korrin::trigraph_of(b), field[3]);
        EXPECT_EQ(read_whole_text(text_form::ascii, field[3].empty() ? one : field[3]), one);
        char digits[8];
        std::snprintf(digits, sizeof digits, "\\%03d", byte++);
        EXPECT_EQ(read_whole_text(text_form::ascii, digits), one);
    }
    EXPECT_EQ(byte, 256);
}

// A fault as kind@line:column=its bytes in hex, then /U+code point, if any.
std::string place(const korrin::text_fault& f)
{
    static const char* const kinds[] = {"none", "not_utf8", "no_character", "not_ascii", "bom"};
    std::string text = std::string(kinds[static_cast<int>(f.kind)]) + "@" + std::to_string(f.line) + ":" +
                       std::to_string(f.column) + "=";
    char hex[16];
    for (std::size_t i = 0; i < f.size; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", f.bytes[i]);
        text += hex;
    }
    if (f.code_point != 0) {
        std::snprintf(hex, sizeof hex, "/U+%04X", f.code_point);
        text += hex;
    }
    return text;
}

// A reading as one line: the bytes, then what else it says; or every
// fault listed, and their count.
std::string summary(const korrin::text_reading& r)
{
    std::string text;
    for (const korrin::text_fault& f : r.faults)
        text += place(f) + " ";
    if (r.fault_count != 0)
        return text + "of " + std::to_string(r.fault_count);
    text = r.bytes;
    if (r.replaced != 0)
        text += "|" + std::to_string(r.replaced) + " replaced, first " + place(r.first_replaced);
    if (r.header)
        text += "|T" + std::to_string(r.level) + (r.trigraphs_kept ? " kept" : "");
    return text;
}

struct Sample {
    text_form form;
    bool replace;
    std::string_view text;
    std::string_view read;
};

using namespace std::string_view_literals;
constexpr text_form utf8 = text_form::utf8;
constexpr text_form ascii = text_form::ascii;

// Worked by hand from the table and from how the calculator reads its
// translated text (what its ROM does at each level).
const Sample samples[] = {
    {utf8, false, "xx\u0304x", "\x78\x81\x78"},
    {utf8, false, "\x7F\t\u00E9\u2220", "\x7F\x09\xE9\x80"},
    {utf8, false, "a\r\nb\rc", "a\nb\rc"},
    {utf8, false, "x\r\n\r\r\n", "x\n\r\n"},
    {utf8, false, "\uFEFF" "ab", "ab"},
    // Columns count code points; a line ends at LF, with or without CR.
    {utf8, false, "1\n2\r\n« é→ab» 12345☃", "no_character@3:14=E29883/U+2603 of 1"},
    {utf8, false, "\uFEFF" "é☃x", "no_character@1:2=E29883/U+2603 of 1"},
    {utf8, false, "a\uFEFF", "no_character@1:2=EFBBBF/U+FEFF of 1"},
    {utf8, false, "\u0304", "no_character@1:1=CC84/U+0304 of 1"},
    // Every place, each run that is no UTF-8 as one character.
    {utf8, false, "\x80", "not_utf8@1:1=80 of 1"},
    {utf8, false, "\xC3" "a\xE2\x82", "not_utf8@1:1=C3 not_utf8@1:3=E282 of 2"},
    {utf8, false, "a\n€\xE2\x82 ☃", "not_utf8@2:2=E282 no_character@2:4=E29883/U+2603 of 2"},
    {utf8, false, "a\xC0\x80\xE0\x9F", "not_utf8@1:2=C0 not_utf8@1:3=80 not_utf8@1:4=E0 not_utf8@1:5=9F of 4"},
    // Overlong forms, a surrogate, past the last code point, and the edges
    // of each: the smallest of three and four bytes, the last before the
    // surrogates and the last code point.
    {utf8, false, "\xED\xA0\x80", "not_utf8@1:1=ED not_utf8@1:2=A0 not_utf8@1:3=80 of 3"},
    {utf8, false, "\xF4\x90\x80", "not_utf8@1:1=F4 not_utf8@1:2=90 not_utf8@1:3=80 of 3"},
    {utf8, false, "\xF0\x8F\xBF\xBF", "not_utf8@1:1=F0 not_utf8@1:2=8F not_utf8@1:3=BF not_utf8@1:4=BF of 4"},
    {utf8, false, "\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
     "no_character@1:1=E0A080/U+0800 no_character@1:2=ED9FBF/U+D7FF no_character@1:3=F0908080/U+10000 "
     "no_character@1:4=F48FBFBF/U+10FFFF of 4"},
    {utf8, false, "☃☃☃☃☃☃☃☃☃☃☃\x80",
     "no_character@1:1=E29883/U+2603 no_character@1:2=E29883/U+2603 no_character@1:3=E29883/U+2603 "
     "no_character@1:4=E29883/U+2603 no_character@1:5=E29883/U+2603 no_character@1:6=E29883/U+2603 "
     "no_character@1:7=E29883/U+2603 no_character@1:8=E29883/U+2603 no_character@1:9=E29883/U+2603 "
     "no_character@1:10=E29883/U+2603 of 12"},
    // Look-alikes, and ? where there is none; a fault stays a fault.
    {utf8, true, "«“Hi” – it’s…\u00A0ok•»",
     "\xAB\"Hi\" - it's... ok\xB7\xBB|7 replaced, first no_character@1:2=E2809C/U+201C"},
    {utf8, true, "a\n\u2018\u201A\u201E\u2014\u2012\u2015\u2009\u202F\u2122",
     "a\n',\"---  TM|9 replaced, first no_character@2:1=E28098/U+2018"},
    {utf8, true, "e\u0301\u2028☃x\u0304", "e\n?\x81|3 replaced, first no_character@1:2=CC81/U+0301"},
    {utf8, true, "“\x80", "not_utf8@1:2=80 of 1"},
    // The ASCII form, level 3 without a header.
    {ascii, false, "a\\b\\", "a\\b\\"},
    {ascii, false, "\\\\<<\\<\\<<", "\\<<\\<\xAB"},
    {ascii, false, "\\133\\160\\255\\GS", "\x85\xA0\xFF\x85"},
    {ascii, false, "\\065\\127\\000\\256\\1234\\12x", "A\x7F\0\\256{4\\12x"sv},
    {ascii, false, "\r\\a\r\\->\\\r\n\\013\n", "\r\\a\r\x8D\\\n\r\n"},
    // The %%HP: line: only the first, with CR LF, LF or no end; its level.
    {ascii, false, "%%HP: T(3)A(R)F(.);\r\nab", "ab|T3"},
    {ascii, false, "%%HP: T(3)A(R)F(.);", "|T3"},
    {ascii, false, "%%HP: A(R);\n\\<<", "\xAB|T3"},
    {ascii, false, "x\n%%HP: T(1);\n\\<<", "x\n%%HP: T(1);\n\xAB"},
    {ascii, false, "%%HP: T(0);\na\r\n\\<<\\\\", "a\r\n\\<<\\\\|T0 kept"},
    {ascii, false, "%%HP: T(1);\na\r\n\\065", "a\n\\065|T1 kept"},
    {ascii, false, "%%HP: T(1);\n\\\\<< \\00", "\\\\<< \\00|T1"},
    {ascii, false, "%%HP: T(2);\n\\GS\\<<\\159\\160\\\\", "\x85\\<<\x9F\\160\\|T2"},
    // Faults of the ASCII form, the header's among them.
    {ascii, false, "\xEF\xBB\xBF%%HP: T(3);\nab", "bom@1:1=EFBBBF/U+FEFF of 1"},
    {ascii, false, "a\xE9\n\\\xC3\xA9", "not_ascii@1:2=E9 not_ascii@2:2=C3A9/U+00E9 of 2"},
    {ascii, false, "%%HP: T(3)\xC3\xA9;\r\nab\xFF", "not_ascii@1:11=C3A9/U+00E9 not_ascii@2:3=FF of 2"},
    {ascii, false, "%%HP: T(0);\na\r\n\xFF", "not_ascii@3:1=FF of 1"},
};

TEST(Reading, GivesBytesOrEveryFault)
{
    for (const Sample& s : samples)
        EXPECT_EQ(summary(korrin::read_whole_text(std::string(s.text), {s.form, s.replace})), s.read) << s.text;
}

struct PcText {
    std::string_view bytes;
    bool more_follows;
    bool pc;
};

const PcText pc_texts[] = {
    {"plain\tASCII\n", false, false},
    {"a\r\nb", false, true},
    {"caf\xC3\xA9", false, true},
    {"\xEF\xBB\xBF" "a", false, true},
    {"caf\xE9\r\n", false, false},
    {"a\r\n\0"sv, false, false},
    {"a\r\n\x1B", false, false},
    {"a\r", false, false},
    // The start of a file, cut inside a character, or not.
    {"a\r\n\xE2\x80", true, true},
    {"a\r\n\xE2\x80", false, false},
    {"a\r\n\xE2", true, true},
    {"a\r\n\xE2\x28", true, false},
    {"a\r\n\xFF", true, false},
};

TEST(Charset, LooksLikePcText)
{
    for (const PcText& row : pc_texts)
        EXPECT_EQ(korrin::looks_like_pc_text(row.bytes, row.more_follows), row.pc) << row.bytes;
}

// The ASCII form as unkorrin writes it, worked by hand from the calculator's
// level 3: backslashes doubled, a CR before an LF as \013.
struct Written {
    std::string_view string;
    std::string_view text;
};

const Written written[] = {
    {"", "%%HP: T(3)A(R)F(.);\n"},
    {"a\\b\\065\r\n\r\rx\n\"", "%%HP: T(3)A(R)F(.);\na\\\\b\\\\065\\013\n\r\rx\n\""},
    {"\x7F\x80\x85\xA0\xAB\xFF\0"sv, "%%HP: T(3)A(R)F(.);\n\x7F\\<)\\GS\\160\\<<\\255\0"sv},
    {"%%HP: T(0);\r\n\\<<", "%%HP: T(3)A(R)F(.);\n%%HP: T(0);\\013\n\\\\<<"},
};

TEST(AsciiForm, WritesAsWorkedByHand)
{
    for (const Written& row : written)
        EXPECT_EQ(korrin::ascii_form(row.string), row.text) << row.string;
}

std::string contents(const char* name)
{
    return slurp(std::string(KORRIN_TEST_DATA) + "/" + name);
}

// string.bin holds "[", b, "]" for each byte b, then "[" CR LF "]"; the
// calculator's SEND at level 3 wrote send-T3.txt from it.  Past 127 no
// string syntax is involved, so the form writes each byte as SEND did.
TEST(AsciiForm, WritesWhatTheCalculatorWritesPast127)
{
    const std::string sent = contents("send-T3.txt");
    std::size_t at = sent.find("[\\<)]");
    ASSERT_NE(at, std::string::npos);
    for (int byte = 128; byte < 256; ++byte) {
        // Items end at "][": the trigraph of 158 holds a "]" of its own.
        const std::size_t end = sent.find("][", at);
        const std::string one(1, static_cast<char>(byte));
        EXPECT_EQ(korrin::ascii_form(one).substr(korrin::ascii_header.size()), sent.substr(at + 1, end - at - 1));
        at = end + 1;
    }
}

// Reading the form back gives every string exactly: each byte, each pair
// of bytes, each triple of those that start or end something (backslash,
// CR, LF, digits, trigraph letters, the header's start), and random ones.
TEST(AsciiForm, ReadsBackEveryString)
{
    std::vector<std::string> strings;
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b)
            strings.push_back({static_cast<char>(a), static_cast<char>(b)});
    const std::string_view edges = "\\\r\n0159<G%HP:T(x-\x80\xA0\xAB";
    for (const char a : edges)
        for (const char b : edges)
            for (const char c : edges)
                strings.push_back({a, b, c});
    std::mt19937 random(20231207);
    for (int i = 0; i < 300; ++i) {
        std::string s(random() % 600, '\0');
        for (char& c : s)
            c = random() % 2 ? edges[random() % edges.size()] : static_cast<char>(random());
        strings.push_back(s);
    }
    strings.push_back("%%HP: T(0)A(R)F(.);\r\n\\065\r");
    for (const std::string& s : strings) {
        const korrin::text_reading back = korrin::read_whole_text(korrin::ascii_form(s), {text_form::ascii, false});
        ASSERT_EQ(back.bytes, s);
        ASSERT_EQ(back.fault_count, 0u);
        ASSERT_EQ(back.level, 3);
    }
}

// What the calculator's SEND wrote at levels 1 and 3 reads back as the
// string it held, string.bin, but for its last line break: SEND writes the
// string's CR LF as CR LF, exactly as it writes an LF, and reading takes
// it for an LF, as the calculator itself does.
TEST(SentText, ReadsWhatTheCalculatorSent)
{
    std::string held = contents("string.bin");
    ASSERT_EQ(held.size(), 772u);
    ASSERT_EQ(held.substr(768), "[\r\n]");
    held.replace(768, 4, "[\n]");
    for (const char* name : {"send-T1.txt", "send-T3.txt"}) {
        const korrin::sent_reading r = korrin::read_sent_text(contents(name));
        EXPECT_EQ(r.fault.kind, korrin::sent_fault_kind::none) << name;
        EXPECT_EQ(r.level, name[6] - '0');
        EXPECT_EQ(r.bytes, held) << name;
    }
}

// Sent text at each level, worked by hand from SEND's table of escapes,
// and its faults: the bytes, or kind@line:column.
struct Sent {
    std::string_view text;
    std::string_view read;
};

const Sent sent[] = {
    {"%%HP: T(0)A(R)F(.);\r\n\"a\r\nb\\\\\\\"\\00\xE9\"", "a\r\nb\\\"\0\xE9"sv},
    {"%%HP: T(1)A(R)F(.);\r\n\"a\r\nb\rc\\001\"\r\n", "a\nb\rc\0" "1"sv},
    {"%%HP: T(2);\n\"\\\\\\\\\\\\\"\\\\00\\GS\xE9\"", "\\\"\0\x85\xE9"sv},
    {"%%HP: T(3);\r\n\"\\<<\\160\\\\00\\\\\\\\\\<<\"\n", "\xAB\xA0\0\\\xAB"sv},
    {"", "no_header@1:1"},
    {"%%HP: T(4);\r\n\"a\"", "no_header@1:1"},
    {"%%HP: T(3)A(R)F(.);", "no_header@1:1"},
    {"%%HP: T(3)A(R)F(.);\r\nabc", "not_a_string@2:1"},
    {"%%HP: T(1);\r\n\"abc", "unclosed_string@2:1"},
    {"%%HP: T(1);\r\n\"abc\\", "unclosed_string@2:1"},
    {"%%HP: T(1);\r\n\"a\r\nb\\q\"", "not_as_sent@3:2"},
    {"%%HP: T(3);\r\n\"a\\\"\"", "not_as_sent@2:3"},
    {"%%HP: T(3);\r\n\"\\065\"", "not_as_sent@2:2"},
    {"%%HP: T(3);\r\n\"\\133\"", "not_as_sent@2:2"},
    {"%%HP: T(3);\r\n\"\\\\0\"", "not_as_sent@2:2"},
    {"%%HP: T(3);\r\n\"\xE9\"", "not_as_sent@2:2"},
    {"%%HP: T(2);\r\n\"\xE9\x85\"", "not_as_sent@2:3"},
    {"%%HP: T(1);\r\n\"a\"b", "after_string@2:4"},
    {"%%HP: T(1);\r\n\"a\"\n\n", "after_string@2:4"},
};

TEST(SentText, ReadsEachLevelAndRefusesWhatSendDoesNotWrite)
{
    static const char* const kinds[] = {"none", "no_header", "not_a_string", "unclosed_string", "not_as_sent",
                                        "after_string"};
    for (const Sent& row : sent) {
        const korrin::sent_reading r = korrin::read_sent_text(row.text);
        const korrin::sent_fault& f = r.fault;
        const std::string place = "@" + std::to_string(f.line) + ":" + std::to_string(f.column);
        EXPECT_EQ(f.kind == korrin::sent_fault_kind::none ? r.bytes : kinds[static_cast<int>(f.kind)] + place,
                  row.read)
            << row.text;
    }
}

// A name typed in UTF-8 as the calculator stores it, in its characters,
// or nothing where it could not store one: a digit first, a space, a
// delimiter of its command line, a character it lacks.
TEST(CalculatorName, StoredInItsCharacters)
{
    const std::pair<const char*, std::string> rows[] = {
        {"notes", "notes"}, {"ABC.HP", "ABC.HP"}, {"caf\u00e9", "caf\xe9"}, {"\u0394x", "\x9bx"},
        {"x\u2192y", "x\x8dy"}, {"", ""}, {"2x", ""}, {"a b", ""}, {"\u00abx", ""}, {"x\u00bb", ""},
        {"a#", ""}, {"a/b", ""}, {"a:b", ""}, {"\"", ""}, {"\u0141X", ""}};
    for (const auto& [typed, stored] : rows)
        EXPECT_EQ(korrin::stored_name(typed), stored) << typed;
}

}  // namespace
