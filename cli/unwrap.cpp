#include "run.h"

#include "console.h"
#include "output.h"
#include "platform.h"
#include "string_object.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace korrin {

namespace fs = std::filesystem;

namespace {

// The header as the transcript shows it, a byte outside printable ASCII as
// '?': SD cards, emulators and old ROMs write letters of their own there.
std::string printable(const unsigned char* header)
{
    std::string text;
    for (std::size_t i = 0; i < header_size; ++i)
        text += header[i] >= ' ' && header[i] <= '~' ? static_cast<char>(header[i]) : '?';
    return text;
}

// Reads the header, prolog and length of the object in `in`, of `size`
// bytes, into `head`, and checks that they describe a whole string in the
// file.  Returns 0 with its number of characters, or 1 after saying why
// there is no string to take out.
int check_object(std::FILE* in, std::uintmax_t size, const std::string& name,
                 unsigned char (&head)[string_head_size], std::uintmax_t& characters)
{
    // Without the header a file is plain data, which the calculator would
    // itself take as a string: there is nothing to unwrap.
    if (size < header_size)
        return fail(not_object, name);
    // More or fewer bytes than its size promised: the file changed since.
    const std::size_t got = std::fread(head, 1, string_head_size, in);
    if (got != (size < string_head_size ? size : string_head_size))
        return fail(std::ferror(in) ? reading_failed : changed, name);
    if (!is_object_header(std::string_view(reinterpret_cast<const char*>(head), header_size)))
        return fail(not_object, name);
    if (got < string_head_size)
        return fail(ends_early, name);

    const unsigned char* const field = head + header_size;
    if (object_prolog(field) != string_prolog)
        return fail(not_string, name, object_prolog(field));
    const std::uint32_t length = object_length(field);
    if (length < empty_string_length)
        return fail(broken_length, name);
    // Each character is two nibbles after the field's five: an even L
    // would end the string in the middle of a byte.
    if (length % 2 == 0)
        return fail(half_byte, name);
    characters = string_size(length);
    if (size - string_head_size < characters)
        return fail(ends_early, name);
    return 0;
}

// Copies `characters` bytes from `in` to `out`, or only reads them when
// `out` is null, in blocks, carrying the checksum `crc` over them.  The
// names are for the messages.
int copy_string(std::FILE* in, std::FILE* out, std::uintmax_t characters, std::uint16_t& crc,
                const std::string& in_name, const std::string& out_name)
{
    unsigned char block[1 << 16];
    for (std::uintmax_t left = characters; left != 0;) {
        const std::size_t wanted = left < sizeof block ? static_cast<std::size_t>(left) : sizeof block;
        const std::size_t got = std::fread(block, 1, wanted, in);
        crc = crc_update(crc, block, got);
        if (out && std::fwrite(block, 1, got, out) != got)
            return fail(writing_failed, out_name);
        // The file was shorter than its size said when the run began.
        if (got != wanted)
            return fail(std::ferror(in) ? reading_failed : changed, in_name);
        left -= got;
    }
    return 0;
}

}  // namespace

int unwrap(const fs::path& object, const fs::path* output)
{
    const std::string in_name = display_name(object);
    const std::string out_name = output ? display_name(*output) : std::string();

    // Every refusal, those about the output included, comes before the
    // output is opened, so a refusal leaves both files as they were.
    std::uintmax_t size = 0;
    std::FILE* in = open_input(object, size);
    if (!in)
        return fail(opening_failed, in_name);
    unsigned char head[string_head_size];
    std::uintmax_t characters = 0;
    int status = check_object(in, size, in_name, head, characters);
    std::FILE* out = nullptr;
    if (status == 0 && output)
        status = open_output(*output, in, out_name, out);
    if (status != 0) {
        close_input(in);
        return status;
    }

    std::printf(header_line, printable(head).c_str());
    std::printf(characters_line, characters);
    // The calculator's checksum runs from the prolog to the last character.
    std::uint16_t crc = crc_update(0, head + header_size, prolog_and_length_size);
    status = copy_string(in, out, characters, crc, in_name, out_name);
    close_input(in);
    if (status != 0) {
        if (out)
            discard_output(out);
        return status;
    }
    if (out && !finish_output(out))
        return fail(writing_failed, out_name);
    std::printf(bytes_line, static_cast<unsigned>(crc), characters + prolog_and_length_size);
    // Transfers pad a file to whole blocks; what follows the object is no
    // part of the string.
    if (size - string_head_size > characters)
        std::printf(goes_on, in_name.c_str());
    print(unkorrin_done);
    return 0;
}

}  // namespace korrin
