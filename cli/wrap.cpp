#include "wrap.h"

#include "charset.h"
#include "console.h"
#include "output.h"
#include "platform.h"
#include "string_object.h"

#include <string_view>

namespace korrin {

namespace fs = std::filesystem;

namespace {

int fail_after_dots(std::error_code cause, const char* message, const std::string& name)
{
    print(end_of_dots);
    return fail(cause, message, name.c_str());
}

int changed_while_read(const std::string& name)
{
    return fail_after_dots({}, changed, name);
}

// Copies exactly `size` bytes from `in` to `out`, a dot for each unless the
// run is quiet, and checks that the input ends there.  The names are for
// the messages.  Kept out of line: inlined into convert, the loop would lose
// registers to the values live there and cost an instruction more per byte.
template <bool dots>
[[gnu::noinline]] int copy_body(std::FILE* in, std::FILE* out, std::uintmax_t size, const std::string& in_name,
                                const std::string& out_name)
{
    // The length field already promises `size` bytes, so exactly that many
    // are copied; a file that grew or shrank since its size was taken would
    // make the field lie about the body.
    //
    // stdout in a local: the byte stores below could alias the global, and
    // reloading it would cost an instruction a byte.
    std::FILE* const console = stdout;
    std::uintmax_t left = size;
    for (; left != 0; --left) {
        const int byte = read_byte(in);
        if (byte == EOF)
            break;
        if (write_byte(byte, out) == EOF)
            return fail_after_dots(stream_error(), writing_failed, out_name);
        if (dots)
            write_byte('.', console);
    }
    const bool ends_there = left == 0 && read_byte(in) == EOF;
    if (std::ferror(in))
        return fail_after_dots(stream_error(), reading_failed, in_name);
    if (!ends_there)
        return changed_while_read(in_name);
    return 0;
}

// How reading a text through ended.
enum class text_end { whole, refused, unreadable, changed, stopped };

// Reads the whole of the text in `in`, `size` bytes, into the calculator
// characters it becomes, handing each block of them to `take`, which
// returns false to stop.  A refused text leaves its place in `fault`.
template <typename Take>
text_end read_text_blocks(std::FILE* in, std::uintmax_t size, file_form form, text_fault& fault, Take take)
{
    unsigned char block[1 << 16];
    unsigned char text[sizeof block + max_held_bytes];
    text_reader reader = start_text(form == file_form::ascii ? text_form::ascii : text_form::utf8);
    fault = {};
    std::uintmax_t read = 0;
    std::size_t got;
    // A file the calculator's translated transfers wrote begins with a line
    // of their own, "%%HP: T(3)A(R)F(.);", which sets how the rest is read
    // and is no part of the text.
    std::uintmax_t header_lines = 0;
    do {
        got = std::fread(block, 1, sizeof block, in);
        std::size_t header = 0;
        if (read == 0 && form == file_form::ascii) {
            const std::string_view start(reinterpret_cast<const char*>(block), got);
            const std::size_t line_end = start.find('\n');
            if (start.rfind("%%HP:", 0) == 0 && line_end != std::string_view::npos) {
                header = line_end + 1;
                header_lines = 1;
            }
        }
        read += got;
        const std::size_t made = got != 0 ? read_text(reader, block + header, got - header, text, fault)
                                          : end_text(reader, text, fault);
        if (fault.kind != text_fault_kind::none) {
            fault.line += header_lines;
            return text_end::refused;
        }
        if (!take(text, made))
            return text_end::stopped;
    } while (got != 0);
    if (std::ferror(in))
        return text_end::unreadable;
    return read == size ? text_end::whole : text_end::changed;
}

// The number of calculator characters the text in `in` becomes, in
// `characters`; the file is read to its end once, and nothing is written.
int measure_text(std::FILE* in, std::uintmax_t size, file_form form, const std::string& name,
                 std::uintmax_t& characters)
{
    characters = 0;
    text_fault fault;
    const text_end end = read_text_blocks(in, size, form, fault, [&](const unsigned char*, std::size_t made) {
        characters += made;
        return true;
    });
    if (end == text_end::refused && fault.kind == text_fault_kind::no_character)
        return fail({}, no_character, name.c_str(), fault.line, fault.column, static_cast<unsigned>(fault.code_point));
    if (end == text_end::refused)
        return fail({}, form == file_form::ascii ? not_ascii : not_utf8, name.c_str(), fault.line, fault.column);
    if (end == text_end::unreadable)
        return fail(stream_error(), reading_failed, name.c_str());
    if (end == text_end::changed)
        return fail({}, changed, name.c_str());
    return 0;
}

// Copies the `characters` the text in `in` becomes, a dot for each unless
// the run is quiet.  Read a second time, the text must become the same
// characters, as many, or it changed since it was measured.
int copy_text(std::FILE* in, std::FILE* out, std::uintmax_t size, std::uintmax_t characters, file_form form,
              bool dots, const std::string& in_name, const std::string& out_name)
{
    std::uintmax_t left = characters;
    std::error_code unwritten;
    text_fault fault;
    const text_end end = read_text_blocks(in, size, form, fault, [&](const unsigned char* text, std::size_t made) {
        if (made > left)
            return false;
        left -= made;
        if (std::fwrite(text, 1, made, out) != made) {
            unwritten = stream_error();
            return false;
        }
        for (std::size_t i = 0; dots && i < made; ++i)
            write_byte('.', stdout);
        return true;
    });
    if (unwritten)
        return fail_after_dots(unwritten, writing_failed, out_name);
    if (end == text_end::unreadable)
        return fail_after_dots(stream_error(), reading_failed, in_name);
    if (end != text_end::whole || left != 0)
        return changed_while_read(in_name);
    return 0;
}

int write_object(std::FILE* in, std::FILE* out, std::uintmax_t size, std::uintmax_t characters, file_form form,
                 const std::string& in_name, const std::string& out_name)
{
    if (std::fwrite(object_head.data(), 1, object_head.size(), out) != object_head.size())
        return fail_after_dots(stream_error(), writing_failed, out_name);

    const std::string text = length_digits(characters);
    report("%s\n", text.c_str());
    for (const unsigned char byte : length_field_bytes(text)) {
        report("%x\n", static_cast<unsigned>(byte));
        if (write_byte(byte, out) == EOF)
            return fail_after_dots(stream_error(), writing_failed, out_name);
    }
    const bool dots = !quiet_run();
    if (form != file_form::bytes)
        return copy_text(in, out, size, characters, form, dots, in_name, out_name);
    return dots ? copy_body<true>(in, out, size, in_name, out_name) : copy_body<false>(in, out, size, in_name, out_name);
}

}  // namespace

int convert(const fs::path& input, const fs::path& output, file_form form)
{
    const std::string in_name = display_name(input);
    const std::string out_name = display_name(output);

    // Everything that can refuse the run comes before the output is
    // opened, so a refusal leaves both files as they were.  Only a regular
    // file is read: a FIFO would hold the open until a writer came, a
    // directory opens but fails every read, and a device's size says nothing
    // of what it holds.
    std::uintmax_t size = 0;
    std::error_code error;
    std::FILE* in = open_input(input, size, error);
    if (!in)
        return fail(error, opening_failed, in_name.c_str());
    // Text is read through once before anything is written: a character
    // the calculator lacks refuses the run, and the length field needs the
    // number of characters the text becomes.
    std::uintmax_t characters = size;
    if (form != file_form::bytes) {
        if (const int status = measure_text(in, size, form, in_name, characters); status != 0) {
            close_input(in);
            return status;
        }
        std::rewind(in);
    }
    if (characters > max_string_bytes) {
        close_input(in);
        return fail({}, too_large, in_name.c_str());
    }
    std::FILE* out = nullptr;
    std::error_code cause;
    if (const refusal why = open_output(output, in, out, cause); why != refusal::none) {
        close_input(in);
        return refuse_output(why, cause, out_name);
    }

    const int status = write_object(in, out, size, characters, form, in_name, out_name);
    close_input(in);
    if (status != 0) {
        discard_output(out);
        return status;
    }
    // Buffered bytes reach the file only as it closes, so a full disk often
    // shows here first.
    if (const std::error_code cause = finish_output(out, string_head_size + characters))
        return fail_after_dots(cause, writing_failed, out_name);
    print(korrin_done);
    return 0;
}

}  // namespace korrin
