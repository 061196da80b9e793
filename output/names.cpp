#include "names.h"

#include <cstdio>

namespace korrin {

namespace {

// The Unicode format characters (category Cf) as of Unicode 15, by range.
constexpr std::uint32_t format_ranges[][2] = {
    {0x00AD, 0x00AD}, {0x0600, 0x0605}, {0x061C, 0x061C}, {0x06DD, 0x06DD}, {0x070F, 0x070F},
    {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0x180E, 0x180E}, {0x200B, 0x200F}, {0x202A, 0x202E},
    {0x2060, 0x2064}, {0x2066, 0x206F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

// Beyond what a name may not hold anywhere, what Windows forbids in one.
constexpr std::string_view forbidden = "/\\<>:\"|?*";

// A name of 240 bytes leaves room for ".999" and for the run's new file's
// tag on every common file system (255 bytes, or UTF-16 units).
constexpr std::size_t longest_name = 240;

// The code point at `at` in `text`, and its size in bytes; size 0 when the
// bytes there are no UTF-8.
struct decoded {
    std::uint32_t code_point;
    std::size_t size;
};

decoded decode(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return {lead, 1};
    const std::size_t size = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (size == 0 || at + size > text.size())
        return {0, 0};
    std::uint32_t code_point = lead & (0x7Fu >> size);
    for (std::size_t i = 1; i < size; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return {0, 0};
        code_point = code_point << 6 | (byte(at + i) & 0x3Fu);
    }
    // Overlong forms, surrogates and code points past Unicode are no UTF-8.
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < least[size] || (code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF)
        return {0, 0};
    return {code_point, size};
}

// A device name Windows keeps in every folder: CON, PRN, AUX, NUL, COM0
// to COM9 and LPT0 to LPT9, in any case, whatever extension follows.
bool is_device_name(std::string_view name)
{
    std::string stem(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char& c : stem)
        c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '0' &&
           stem[3] <= '9';
}

}  // namespace

bool is_invisible(std::uint32_t code_point)
{
    if (code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F))
        return true;
    for (const auto& range : format_ranges)
        if (code_point >= range[0] && code_point <= range[1])
            return true;
    return false;
}

std::string visible_text(std::string_view text)
{
    std::string shown;
    char code[16];
    for (std::size_t at = 0; at < text.size();) {
        const decoded next = decode(text, at);
        if (next.size != 0 && !is_invisible(next.code_point)) {
            shown += text.substr(at, next.size);
        } else {
            if (next.size == 0 || next.code_point < 0x80)
                std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(text[at])));
            else
                std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(next.code_point));
            shown += code;
        }
        at += next.size != 0 ? next.size : 1;
    }
    return shown;
}

std::string plain_file_name(std::string_view name)
{
    std::string plain;
    for (std::size_t at = 0; at < name.size();) {
        const decoded next = decode(name, at);
        const bool kept = next.size != 0 && !is_invisible(next.code_point) &&
                          (next.code_point >= 0x80 || forbidden.find(name[at]) == std::string_view::npos);
        // Cut at a whole character.
        if (plain.size() + (kept ? next.size : 1) > longest_name)
            break;
        plain += kept ? name.substr(at, next.size) : "_";
        at += next.size != 0 ? next.size : 1;
    }
    plain.erase(0, plain.find_first_not_of(".- "));
    while (!plain.empty() && (plain.back() == '.' || plain.back() == ' '))
        plain.pop_back();
    if (plain.empty())
        return "received";
    return is_device_name(plain) ? "_" + plain : plain;
}

}  // namespace korrin
