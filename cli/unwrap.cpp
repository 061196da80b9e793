#include "unwrap.h"

#include "charset.h"
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
        return fail({}, not_object, name.c_str());
    // More or fewer bytes than its size promised: the file changed since.
    const std::size_t got = std::fread(head, 1, string_head_size, in);
    if (got != (size < string_head_size ? size : string_head_size))
        return std::ferror(in) ? fail(stream_error(), reading_failed, name.c_str()) : fail({}, changed, name.c_str());
    if (!is_object_header(std::string_view(reinterpret_cast<const char*>(head), header_size)))
        return fail({}, not_object, name.c_str());
    if (got < string_head_size)
        return fail({}, ends_early, name.c_str());

    const unsigned char* const field = head + header_size;
    const std::uint32_t prolog = object_prolog(field);
    if (prolog != string_prolog) {
        if (const char* const kind = object_kind(prolog))
            return fail({}, not_a_string, name.c_str(), kind, static_cast<unsigned>(prolog));
        return fail({}, not_string, name.c_str(), static_cast<unsigned>(prolog));
    }
    const std::uint32_t length = object_length(field);
    if (length < empty_string_length)
        return fail({}, broken_length, name.c_str());
    // Each character is two nibbles after the field's five: an even L
    // would end the string in the middle of a byte.
    if (length % 2 == 0)
        return fail({}, half_byte, name.c_str());
    characters = string_size(length);
    if (size - string_head_size < characters)
        return fail({}, ends_early, name.c_str());
    return 0;
}

// The string's bytes as they go to the output in `form`, into `text`:
// for text, each byte's characters.  Returns their number.
std::size_t in_form(const unsigned char* bytes, std::size_t size, file_form form, unsigned char* text)
{
    std::size_t made = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = bytes[i];
        const std::string_view written =
            form == file_form::text ? text_of(byte) : byte > '~' ? trigraph_of(byte) : std::string_view();
        if (written.empty())
            text[made++] = byte;
        else
            made += written.copy(reinterpret_cast<char*>(text + made), written.size());
    }
    return made;
}

// Copies `characters` bytes from `in` to `out` in `form`, or only reads
// them when `out` is null, in blocks, carrying the checksum `crc` over
// them.  The names are for the messages.
int copy_string(std::FILE* in, std::FILE* out, std::uintmax_t characters, file_form form, std::uint16_t& crc,
                std::uintmax_t& written_size, const std::string& in_name, const std::string& out_name)
{
    written_size = 0;
    unsigned char block[1 << 14];
    // A character's longest text: a trigraph of four bytes.
    unsigned char text[sizeof block * 4];
    for (std::uintmax_t left = characters; left != 0;) {
        const std::size_t wanted = left < sizeof block ? static_cast<std::size_t>(left) : sizeof block;
        const std::size_t got = std::fread(block, 1, wanted, in);
        crc = crc_update(crc, block, got);
        const unsigned char* written = block;
        std::size_t size = got;
        if (out && form != file_form::bytes) {
            size = in_form(block, got, form, text);
            written = text;
        }
        if (out && std::fwrite(written, 1, size, out) != size)
            return fail(stream_error(), writing_failed, out_name.c_str());
        written_size += size;
        // The file was shorter than its size said when the run began.
        if (got != wanted)
            return std::ferror(in) ? fail(stream_error(), reading_failed, in_name.c_str())
                                   : fail({}, changed, in_name.c_str());
        left -= got;
    }
    return 0;
}

}  // namespace

int unwrap(const fs::path& object, const fs::path* output, file_form form)
{
    const std::string in_name = display_name(object);
    const std::string out_name = output ? display_name(*output) : std::string();

    // Every refusal, those about the output included, comes before the
    // output is opened, so a refusal leaves both files as they were.
    std::uintmax_t size = 0;
    std::error_code error;
    std::FILE* in = open_input(object, size, error);
    if (!in)
        return fail(error, opening_failed, in_name.c_str());
    unsigned char head[string_head_size];
    std::uintmax_t characters = 0;
    int status = check_object(in, size, in_name, head, characters);
    std::FILE* out = nullptr;
    std::error_code cause;
    if (status == 0 && output)
        if (const refusal why = open_output(*output, in, out, cause); why != refusal::none)
            status = refuse_output(why, cause, out_name);
    if (status != 0) {
        close_input(in);
        return status;
    }

    report(header_line, printable(head).c_str());
    report(characters_line, characters);
    // The calculator's checksum runs from the prolog to the last character.
    std::uint16_t crc = crc_update(0, head + header_size, prolog_and_length_size);
    std::uintmax_t written = 0;
    status = copy_string(in, out, characters, form, crc, written, in_name, out_name);
    // A file that grew or shrank during the run is not the object that was
    // checked; its string may be another's.
    if (status == 0 && current_size(in) != static_cast<std::intmax_t>(size))
        status = fail({}, changed, in_name.c_str());
    close_input(in);
    if (status != 0) {
        if (out)
            discard_output(out);
        return status;
    }
    if (out)
        if (const std::error_code cause = finish_output(out, written))
            return fail(cause, writing_failed, out_name.c_str());
    report(bytes_line, static_cast<unsigned>(crc), characters + prolog_and_length_size);
    // Transfers pad a file to whole blocks; what follows the object is no
    // part of the string.
    if (size - string_head_size > characters)
        report(goes_on, in_name.c_str());
    print(unkorrin_done);
    return 0;
}

}  // namespace korrin
