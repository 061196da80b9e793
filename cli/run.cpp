#include "run.h"

#include "console.h"
#include "platform.h"
#include "string_object.h"

#include <system_error>

namespace korrin {

namespace fs = std::filesystem;

namespace {

int fail_after_dots(const char* message, const std::string& name)
{
    print(end_of_dots);
    return fail(message, name);
}

// Nothing was written to the input, so its close has nothing to lose.
void close_input(std::FILE* in)
{
    static_cast<void>(std::fclose(in));
}

// A broken object must not stay behind looking like a good one.  It is
// removed where it was written, at the end of any symbolic links, and only
// if it is a regular file: output_file may name a device.
void remove_output(const fs::path& output)
{
    std::error_code ec;
    const fs::path written = fs::canonical(output, ec);
    if (!ec && fs::is_regular_file(fs::status(written, ec)))
        fs::remove(written, ec);
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
    std::error_code ec;

    // Everything that can refuse the run comes before the output is
    // created, so a refusal leaves both files as they were.  Only a regular
    // file is read: a FIFO would hold the open until a writer came, a
    // directory opens but fails every read, and a device's size says nothing
    // of what it holds.
    if (!fs::is_regular_file(fs::status(input, ec)))
        return fail(opening_failed, in_name);
    const std::uintmax_t size = fs::file_size(input, ec);
    if (ec)
        return fail(reading_failed, in_name);
    if (size > max_string_bytes)
        return fail(too_large, in_name);

    std::FILE* in = open_file(input, "rb");
    if (!in)
        return fail(opening_failed, in_name);
    // Creating the output truncates it: were it the input under any name,
    // the input would be gone before a byte of it was read.
    if (fs::equivalent(input, output, ec)) {
        close_input(in);
        return fail(is_input, out_name);
    }
    // The report would run through the object's bytes.
    if (is_standard_output(output)) {
        close_input(in);
        return fail(is_console, out_name);
    }
    std::FILE* out = open_file(output, "wb");
    if (!out) {
        close_input(in);
        return fail(opening_failed, out_name);
    }

    int status = write_object(in, out, size, in_name, out_name);
    close_input(in);
    // Buffered bytes reach the file only now, so a full disk often shows
    // here first.
    if (std::fclose(out) != 0 && status == 0)
        status = fail_after_dots(writing_failed, out_name);
    if (status != 0) {
        remove_output(output);
        return status;
    }
    print(done);
    return 0;
}

}  // namespace korrin
