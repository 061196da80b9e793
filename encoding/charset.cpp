#include "charset.h"

#include <algorithm>
#include <array>

namespace korrin {

namespace {

constexpr std::size_t byte_values = 256;

// ASCII gives the calculator its first 127 characters; from 127 on they are
// the calculator's own, and from 128 on each has a trigraph.
constexpr unsigned char first_own_byte = 127;
constexpr unsigned first_non_ascii = 0x80;

// A row of the character set from byte 127 on: the code point UTF-8 text
// writes, another it reads as the same character or none, and the
// trigraph.  The row for x_bar holds its second code point.
struct own_character {
    std::uint32_t unicode;
    std::uint32_t also_read;
    std::string_view trigraph;
};

// The also_read of a character that is read from its own code point only.
constexpr std::uint32_t none = 0;

// From the glyphs the HP49G's ROM draws for each code, matched to the
// Unicode character they look like; the trigraphs are those an HP48 writes
// in its translated transfers.
constexpr own_character own_characters[] = {
    // Byte 127 is also read from U+007F, as every ASCII code point reads
    // as its own byte.
    {0x2592, none, ""},                     // 127
    {0x2221, 0x2220, "\\<)"},               // 128
    {combining_macron, none, "\\x-"},       // 129
    {0x2207, none, "\\.V"},                 // 130
    {0x221A, none, "\\v/"},                 // 131
    {0x222B, none, "\\.S"},                 // 132
    {0x03A3, 0x2211, "\\GS"},               // 133
    {0x25B6, none, "\\|>"},                 // 134
    {0x03C0, none, "\\pi"},                 // 135
    {0x2202, none, "\\.d"},                 // 136
    {0x2264, none, "\\<="},                 // 137
    {0x2265, none, "\\>="},                 // 138
    {0x2260, none, "\\=/"},                 // 139
    {0x03B1, none, "\\Ga"},                 // 140
    {0x2192, none, "\\->"},                 // 141
    {0x2190, none, "\\<-"},                 // 142
    {0x2193, none, "\\|v"},                 // 143
    {0x2191, none, "\\|^"},                 // 144
    {0x03B3, none, "\\Gg"},                 // 145
    {0x03B4, none, "\\Gd"},                 // 146
    {0x03B5, none, "\\Ge"},                 // 147
    {0x03B7, none, "\\Gn"},                 // 148
    {0x03B8, none, "\\Gh"},                 // 149
    {0x03BB, none, "\\Gl"},                 // 150
    {0x03C1, none, "\\Gr"},                 // 151
    {0x03C3, none, "\\Gs"},                 // 152
    {0x03C4, none, "\\Gt"},                 // 153
    {0x03C9, none, "\\Gw"},                 // 154
    {0x0394, 0x2206, "\\GD"},               // 155
    {0x03A0, 0x220F, "\\PI"},               // 156
    {0x03A9, none, "\\GW"},                 // 157
    {0x25A0, 0x25AA, "\\[]"},               // 158
    {0x221E, none, "\\oo"},                 // 159
    {0x20AC, none, "\\160"},                // 160
    {0x00A1, none, "\\161"},                // 161
    {0x00A2, none, "\\162"},                // 162
    {0x00A3, none, "\\163"},                // 163
    {0x00A4, none, "\\164"},                // 164
    {0x00A5, none, "\\165"},                // 165
    {0x00A6, none, "\\166"},                // 166
    {0x00A7, none, "\\167"},                // 167
    {0x00A8, none, "\\168"},                // 168
    {0x00A9, none, "\\169"},                // 169
    {0x00AA, none, "\\170"},                // 170
    {0x00AB, none, "\\<<"},                 // 171
    {0x00AC, none, "\\172"},                // 172
    {0x00AD, none, "\\173"},                // 173
    {0x00AE, none, "\\174"},                // 174
    {0x00AF, none, "\\175"},                // 175
    {0x00B0, none, "\\^o"},                 // 176
    {0x00B1, none, "\\177"},                // 177
    {0x00B2, none, "\\178"},                // 178
    {0x00B3, none, "\\179"},                // 179
    {0x00B4, none, "\\180"},                // 180
    {0x00B5, none, "\\Gm"},                 // 181
    {0x00B6, none, "\\182"},                // 182
    {0x00B7, none, "\\183"},                // 183
    {0x00B8, none, "\\184"},                // 184
    {0x00B9, none, "\\185"},                // 185
    {0x00BA, none, "\\186"},                // 186
    {0x00BB, none, "\\>>"},                 // 187
    {0x00BC, none, "\\188"},                // 188
    {0x00BD, none, "\\189"},                // 189
    {0x00BE, none, "\\190"},                // 190
    {0x00BF, none, "\\191"},                // 191
    {0x00C0, none, "\\192"},                // 192
    {0x00C1, none, "\\193"},                // 193
    {0x00C2, none, "\\194"},                // 194
    {0x00C3, none, "\\195"},                // 195
    {0x00C4, none, "\\196"},                // 196
    {0x00C5, none, "\\197"},                // 197
    {0x00C6, none, "\\198"},                // 198
    {0x00C7, none, "\\199"},                // 199
    {0x00C8, none, "\\200"},                // 200
    {0x00C9, none, "\\201"},                // 201
    {0x00CA, none, "\\202"},                // 202
    {0x00CB, none, "\\203"},                // 203
    {0x00CC, none, "\\204"},                // 204
    {0x00CD, none, "\\205"},                // 205
    {0x00CE, none, "\\206"},                // 206
    {0x00CF, none, "\\207"},                // 207
    {0x00D0, none, "\\208"},                // 208
    {0x00D1, none, "\\209"},                // 209
    {0x00D2, none, "\\210"},                // 210
    {0x00D3, none, "\\211"},                // 211
    {0x00D4, none, "\\212"},                // 212
    {0x00D5, none, "\\213"},                // 213
    {0x00D6, none, "\\214"},                // 214
    {0x00D7, none, "\\.x"},                 // 215
    {0x00D8, none, "\\O/"},                 // 216
    {0x00D9, none, "\\217"},                // 217
    {0x00DA, none, "\\218"},                // 218
    {0x00DB, none, "\\219"},                // 219
    {0x00DC, none, "\\220"},                // 220
    {0x00DD, none, "\\221"},                // 221
    {0x00DE, none, "\\222"},                // 222
    {0x03B2, 0x00DF, "\\Gb"},               // 223
    {0x00E0, none, "\\224"},                // 224
    {0x00E1, none, "\\225"},                // 225
    {0x00E2, none, "\\226"},                // 226
    {0x00E3, none, "\\227"},                // 227
    {0x00E4, none, "\\228"},                // 228
    {0x00E5, none, "\\229"},                // 229
    {0x00E6, none, "\\230"},                // 230
    {0x00E7, none, "\\231"},                // 231
    {0x00E8, none, "\\232"},                // 232
    {0x00E9, none, "\\233"},                // 233
    {0x00EA, none, "\\234"},                // 234
    {0x00EB, none, "\\235"},                // 235
    {0x00EC, none, "\\236"},                // 236
    {0x00ED, none, "\\237"},                // 237
    {0x00EE, none, "\\238"},                // 238
    {0x00EF, none, "\\239"},                // 239
    {0x00F0, none, "\\240"},                // 240
    {0x00F1, none, "\\241"},                // 241
    {0x00F2, none, "\\242"},                // 242
    {0x00F3, none, "\\243"},                // 243
    {0x00F4, none, "\\244"},                // 244
    {0x00F5, none, "\\245"},                // 245
    {0x00F6, none, "\\246"},                // 246
    {0x00F7, none, "\\:-"},                 // 247
    {0x00F8, none, "\\248"},                // 248
    {0x00F9, none, "\\249"},                // 249
    {0x00FA, none, "\\250"},                // 250
    {0x00FB, none, "\\251"},                // 251
    {0x00FC, none, "\\252"},                // 252
    {0x00FD, none, "\\253"},                // 253
    {0x00FE, none, "\\254"},                // 254
    {0x00FF, none, "\\255"},                // 255
};

static_assert(first_own_byte + std::size(own_characters) == byte_values,
              "the table runs from the first own byte to the last byte");

// UTF-8 writes a code point below 80 hex as itself, else as a lead byte
// whose high bits say how many continuation bytes follow, then those bytes,
// 10 and six bits of the code point each.
constexpr unsigned continuation_bits = 6;
constexpr unsigned char continuation_tag = 0x80;
constexpr std::uint32_t continuation_value = 0x3F;
constexpr unsigned char lead_tags[] = {0, 0xC0, 0xE0, 0xF0};
constexpr std::size_t max_utf8_size = std::size(lead_tags);

// The UTF-8 text of each byte, made once from the table.
struct utf8_text {
    char bytes[max_utf8_size];
    std::size_t size;
};

constexpr void append_utf8(utf8_text& text, std::uint32_t code_point)
{
    const unsigned more = code_point < 0x80 ? 0 : code_point < 0x800 ? 1 : code_point < 0x10000 ? 2 : 3;
    text.bytes[text.size++] = static_cast<char>(lead_tags[more] | code_point >> continuation_bits * more);
    for (unsigned i = more; i-- > 0;)
        text.bytes[text.size++] =
            static_cast<char>(continuation_tag | (code_point >> continuation_bits * i & continuation_value));
}

constexpr std::array<utf8_text, byte_values> utf8_texts = [] {
    std::array<utf8_text, byte_values> texts{};
    for (std::size_t byte = 0; byte < byte_values; ++byte) {
        utf8_text& text = texts[byte];
        if (byte < first_own_byte) {
            append_utf8(text, static_cast<std::uint32_t>(byte));
            continue;
        }
        if (byte == x_bar)
            append_utf8(text, 'x');
        append_utf8(text, own_characters[byte - first_own_byte].unicode);
    }
    return texts;
}();

// Reading UTF-8 text takes each code point of the table back to its byte,
// through this list of them in code point order.  The macron alone is not
// in it: it means x_bar only after an x.
struct reading {
    std::uint32_t code_point;
    unsigned char byte;
};

constexpr std::size_t reading_count = [] {
    std::size_t count = 0;
    for (std::size_t i = 0; i < std::size(own_characters); ++i) {
        if (first_own_byte + i != x_bar)
            ++count;
        if (own_characters[i].also_read != none)
            ++count;
    }
    return count;
}();

constexpr std::array<reading, reading_count> readings = [] {
    std::array<reading, reading_count> list{};
    std::size_t size = 0;
    for (std::size_t i = 0; i < std::size(own_characters); ++i) {
        const auto byte = static_cast<unsigned char>(first_own_byte + i);
        if (byte != x_bar)
            list[size++] = {own_characters[i].unicode, byte};
        if (own_characters[i].also_read != none)
            list[size++] = {own_characters[i].also_read, byte};
    }
    for (std::size_t i = 1; i < size; ++i)
        for (std::size_t j = i; j > 0 && list[j].code_point < list[j - 1].code_point; --j) {
            const reading before = list[j - 1];
            list[j - 1] = list[j];
            list[j] = before;
        }
    return list;
}();

constexpr bool each_code_point_once = [] {
    for (std::size_t i = 0; i < reading_count; ++i)
        if ((i > 0 && readings[i].code_point == readings[i - 1].code_point) || readings[i].code_point < first_non_ascii)
            return false;
    return true;
}();
static_assert(each_code_point_once, "a code point reads as one byte only, and ASCII reads as itself");

}  // namespace

std::string_view text_of(unsigned char byte)
{
    return {utf8_texts[byte].bytes, utf8_texts[byte].size};
}

std::string_view trigraph_of(unsigned char byte)
{
    return byte >= first_own_byte ? own_characters[byte - first_own_byte].trigraph : std::string_view{};
}

int byte_of(std::uint32_t code_point)
{
    if (code_point < first_non_ascii)
        return static_cast<int>(code_point);
    const auto found = std::lower_bound(readings.begin(), readings.end(), code_point,
                                        [](const reading& r, std::uint32_t c) { return r.code_point < c; });
    return found != readings.end() && found->code_point == code_point ? found->byte : -1;
}

std::string utf8_of(std::string_view bytes)
{
    std::string text;
    for (char byte : bytes)
        text += text_of(static_cast<unsigned char>(byte));
    return text;
}

}  // namespace korrin
