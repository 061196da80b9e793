#include "run.h"

#include "console.h"
#include "output.h"
#include "platform.h"
#include "string_object.h"

namespace korrin {

namespace fs = std::filesystem;

namespace {

int fail_after_dots(const char* message, const std::string& name)
{
    print(end_of_dots);
    return fail(message, name);
}

// Copies exactly `size` bytes from `in` to `out`, a dot for each, and
// checks that the input ends there.  The names are for the messages.  Kept
// out of line: inlined into convert, the loop would lose registers to the
// values live there and cost an instruction more per byte.
[[gnu::noinline]] int copy_body(std::FILE* in, std::FILE* out, std::uintmax_t size,
              const std::string& in_name, const std::string& out_name)
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
            return fail_after_dots(writing_failed, out_name);
        write_byte('.', console);
    }
    const bool ends_there = left == 0 && read_byte(in) == EOF;
    if (std::ferror(in))
        return fail_after_dots(reading_failed, in_name);
    if (!ends_there)
        return fail_after_dots(changed, in_name);
    return 0;
}

int write_object(std::FILE* in, std::FILE* out, std::uintmax_t size,
                 const std::string& in_name, const std::string& out_name)
{
    if (std::fwrite(object_head.data(), 1, object_head.size(), out) != object_head.size())
        return fail_after_dots(writing_failed, out_name);

    const std::string text = length_digits(size);
    std::printf("%s\n", text.c_str());
    for (const unsigned char byte : length_field_bytes(text)) {
        std::printf("%x\n", static_cast<unsigned>(byte));
        if (write_byte(byte, out) == EOF)
            return fail_after_dots(writing_failed, out_name);
    }
    return copy_body(in, out, size, in_name, out_name);
}

}  // namespace

int convert(const fs::path& input, const fs::path& output)
{
    const std::string in_name = display_name(input);
    const std::string out_name = display_name(output);

    // Everything that can refuse the run comes before the output is
    // opened, so a refusal leaves both files as they were.  Only a regular
    // file is read: a FIFO would hold the open until a writer came, a
    // directory opens but fails every read, and a device's size says nothing
    // of what it holds.
    std::uintmax_t size = 0;
    std::FILE* in = open_input(input, size);
    if (!in)
        return fail(opening_failed, in_name);
    if (size > max_string_bytes) {
        close_input(in);
        return fail(too_large, in_name);
    }
    std::FILE* out = nullptr;
    if (const int status = open_output(output, in, out_name, out); status != 0) {
        close_input(in);
        return status;
    }

    const int status = write_object(in, out, size, in_name, out_name);
    close_input(in);
    if (status != 0) {
        discard_output(out);
        return status;
    }
    // Buffered bytes reach the file only as it closes, so a full disk often
    // shows here first.
    if (!finish_output(out))
        return fail_after_dots(writing_failed, out_name);
    print(korrin_done);
    return 0;
}

}  // namespace korrin
