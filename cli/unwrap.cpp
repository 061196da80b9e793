#include "unwrap.h"

#include "charset.h"
#include "text_forms.h"
#include "cable.h"
#include "console.h"
#include "output.h"
#include "input.h"
#include "names.h"
#include "string_object.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

namespace korrin {

namespace fs = std::filesystem;

namespace {

// Where the string is read from.  An object file is a stream: its head is
// read first, then the string's bytes.  Standard input, which tells no
// size, is read as far as its string, which is held.  The bytes the
// calculator sent are held whole already.  The text its SEND writes for a
// string is read at once into the string it stands for, which has no head.
struct Source {
    std::FILE* file = nullptr;  // the file or standard input; none for bytes received
    bool holds = false;         // the bytes are read from `held`, not from `file`
    std::string held;           // the bytes received, or the string
    std::size_t at = 0;         // how many of `held` were read
    std::uintmax_t size = 0;    // the bytes there were at the start, but
    bool sized = false;         // for standard input
    bool text = false;          // `held` is the string of the calculator's text
    bool more = false;          // standard input goes on after the string
};

std::size_t read_from(Source& source, unsigned char* bytes, std::size_t size)
{
    if (!source.holds)
        return std::fread(bytes, 1, size, source.file);
    const std::size_t got = std::min(size, source.held.size() - source.at);
    std::copy_n(source.held.data() + source.at, got, bytes);
    source.at += got;
    return got;
}

// `name` without its extension .hp, of either case: notes.hp gives notes.
template <typename Text>
Text without_hp(Text name)
{
    using Char = typename Text::value_type;
    const std::size_t size = name.size();
    if (size > 3 && name[size - 3] == Char('.') && (name[size - 2] | 0x20) == Char('h') &&
        (name[size - 1] | 0x20) == Char('p'))
        name.resize(size - 3);
    return name;
}

// The file a string is written to in a folder: the object's name without
// its .hp.
fs::path string_name(const fs::path& object)
{
    return without_hp(object.filename().native());
}

// The string received from the calculator goes into `folder` under a plain
// file name made from the name it came with, `name`, and never over
// anything: of NAME, NAME.1, NAME.2 and so on, the first that is free is
// made, and the transcript says when it is not the name sent.  `output`,
// the folder, becomes the file made.
refusal open_received(const std::string& name, std::FILE* in, std::FILE*& out, std::error_code& cause,
                      fs::path& output)
{
    constexpr unsigned most_suffix = 999;
    const fs::path folder = output;
    const std::string stem = without_hp(name);
    const std::string plain = plain_file_name(stem);
    if (plain != stem)
        report(saved_as_plain, shown_text(name).c_str(), shown_text(plain).c_str());
    for (unsigned suffix = 0; suffix <= most_suffix; ++suffix) {
        const std::string tried = suffix == 0 ? plain : plain + "." + std::to_string(suffix);
        output = folder / fs::u8path(tried);
        const refusal why = open_output(output, in, out, cause, true);
        if (why == refusal::none && suffix != 0)
            report(saved_beside, shown_text(plain).c_str(), shown_text(tried).c_str());
        if (why != refusal::exists)
            return why;
    }
    return refusal::exists;
}

// The header as the transcript shows it, a byte outside printable ASCII as
// '?': SD cards, emulators and old ROMs write letters of their own there.
std::string printable(const unsigned char* header)
{
    std::string text;
    for (std::size_t i = 0; i < header_size; ++i)
        text += header[i] >= ' ' && header[i] <= '~' ? static_cast<char>(header[i]) : '?';
    return text;
}

// Why `in` gave fewer bytes than were asked for: a failed read, a file
// that is shorter than its size promised, having changed since, or a
// stream that ended before its string did.
int short_read(const Source& in, const std::string& name)
{
    if (in.file && std::ferror(in.file))
        return fail(stream_error(), name, reading_failed, name.c_str());
    return fail({}, name, in.sized ? changed : ends_early, name.c_str());
}

// Reads the header, prolog and length of the object in `in` into `head`,
// and checks that they describe a whole string.  Returns 0 with its number
// of characters, or 1 after saying why there is no string to take out.
// A text's string has the head its object would have.
int read_head(Source& in, const std::string& name, unsigned char (&head)[string_head_size],
              std::uintmax_t& characters)
{
    if (in.text) {
        object_file_head(in.held.size()).copy(reinterpret_cast<char*>(head), string_head_size);
        characters = in.held.size();
        return 0;
    }
    // Without the header a file is plain data, which the calculator would
    // itself take as a string: there is nothing to unwrap.
    if (in.sized && in.size < header_size)
        return fail({}, name, not_object, name.c_str());
    const std::size_t got = read_from(in, head, string_head_size);
    if ((in.file && std::ferror(in.file)) || (in.sized && got != std::min<std::uintmax_t>(in.size, string_head_size)))
        return short_read(in, name);
    const string_head_reading reading = string_head(head, got);
    switch (reading.problem) {
    case head_problem::not_object:
        return fail({}, name, not_object, name.c_str());
    case head_problem::ends_early:
        return fail({}, name, ends_early, name.c_str());
    case head_problem::not_string:
        if (const char* const kind = object_kind(reading.prolog))
            return fail({}, name, not_a_string, name.c_str(), kind, static_cast<unsigned>(reading.prolog));
        return fail({}, name, not_string, name.c_str(), static_cast<unsigned>(reading.prolog));
    case head_problem::broken_length:
        return fail({}, name, broken_length, name.c_str());
    case head_problem::half_byte:
        return fail({}, name, half_byte, name.c_str());
    case head_problem::none:
        break;
    }
    characters = reading.characters;
    if (in.sized && in.size - string_head_size < characters)
        return fail({}, name, ends_early, name.c_str());
    return 0;
}

// Reads the string of standard input, of `characters` bytes, into `in`
// before the output is opened, so that an object cut short is refused
// with the output as it was; and finds whether more follows it.
int hold_string(Source& in, std::uintmax_t characters, const std::string& name)
{
    in.held.resize(static_cast<std::size_t>(characters));
    if (std::fread(in.held.data(), 1, in.held.size(), in.file) != in.held.size())
        return short_read(in, name);
    in.more = std::fgetc(in.file) != EOF;
    in.holds = true;
    return 0;
}

// Whether bytes follow the string in `in`.
bool more_follows(const Source& in, std::uintmax_t characters)
{
    if (in.text || !in.sized)
        return in.more;
    return in.size - string_head_size > characters;
}

// The UTF-8 text of the string's `size` bytes, into `text`, which has room
// for the longest, three bytes a character.  Returns its size.
std::size_t utf8_text(const unsigned char* bytes, std::size_t size, unsigned char* text)
{
    std::size_t made = 0;
    for (std::size_t i = 0; i < size; ++i)
        made += text_of(bytes[i]).copy(reinterpret_cast<char*>(text + made), 4);
    return made;
}

// Copies `characters` bytes from `in` to `out` in `form`, or only reads
// them when `out` is null, in blocks, carrying the checksum `crc` over
// them.  The names are for the messages.
int copy_string(Source& in, std::FILE* out, std::uintmax_t characters, file_form form, std::uint16_t& crc,
                std::uintmax_t& written_size, const std::string& in_name, const std::string& out_name)
{
    std::string string;
    static unsigned char block[1 << 16];
    // A character's longest UTF-8 text: three bytes.
    static unsigned char text[sizeof block * 3];
    for (std::uintmax_t left = characters; left != 0;) {
        const std::size_t wanted = left < sizeof block ? static_cast<std::size_t>(left) : sizeof block;
        const std::size_t got = read_from(in, block, wanted);
        crc = crc_update(crc, block, got);
        const unsigned char* written = block;
        std::size_t size = got;
        if (out && form == file_form::text) {
            size = utf8_text(block, got, text);
            written = text;
        }
        // The ASCII form is made of the whole string: a CR's form depends
        // on the byte after it.
        if (out && form == file_form::ascii) {
            string.append(reinterpret_cast<const char*>(block), got);
            size = 0;
        }
        if (const std::error_code error = out ? write_block(out, written, size) : std::error_code())
            return fail(error, out_name, writing_failed, out_name.c_str());
        written_size += size;
        if (got != wanted)
            return short_read(in, in_name);
        left -= got;
    }
    if (out && form == file_form::ascii) {
        const std::string ascii = ascii_form(string);
        if (const std::error_code error = write_block(out, ascii.data(), ascii.size()))
            return fail(error, out_name, writing_failed, out_name.c_str());
        written_size = ascii.size();
    }
    return 0;
}

// Reads the text the calculator's SEND wrote, held in `in`, and holds the
// string it stands for there instead.
int read_text(Source& in, const std::string& name)
{
    sent_reading reading = read_sent_text(in.held);
    if (reading.fault.kind != sent_fault_kind::none)
        return fail({}, name, not_as_sent, name.c_str(), reading.fault.line, reading.fault.column);
    if (reading.bytes.size() > max_string_bytes)
        return fail({}, name, too_large, name.c_str());
    report(sent_line, reading.level);
    in.held = std::move(reading.bytes);
    in.size = in.held.size();
    in.holds = true;
    in.text = true;
    return 0;
}

// Closes the output whole and reports the BYTES figures.  Returns the exit
// status.
int finish_string(std::FILE* out, std::uintmax_t written, const std::string& out_name, std::uint16_t crc,
                  std::uintmax_t characters, bool more, const std::string& in_name)
{
    if (out == stdout && (std::fflush(stdout) != 0 || std::ferror(stdout)))
        return fail(stream_error(), out_name, writing_failed, out_name.c_str());
    if (out && out != stdout)
        if (const std::error_code failure = finish_output(out, written))
            return fail(failure, out_name, writing_failed, out_name.c_str());
    report(bytes_line, static_cast<unsigned>(crc), characters + prolog_and_length_size);
    // Transfers pad a file to whole blocks; what follows the object is no
    // part of the string.
    if (more)
        warn(goes_on, in_name.c_str());
    print(unkorrin_done);
    return 0;
}

// Opens the object to read from: a file or standard input, or the bytes
// the calculator sent, held already and with no file behind them.  The
// text the calculator's SEND writes for a string is read whole and becomes
// the string it stands for.  Standard input is never taken for text: the
// object is read as it comes.  Returns 0, or the exit status with the
// source closed.
int open_source(const fs::path& object, received_file* received, const std::string& in_name, Source& in)
{
    if (received) {
        in.holds = true;
        in.held = std::move(received->bytes);
        in.size = in.held.size();
        in.sized = true;
        return is_calculator_text(in.held) ? read_text(in, in_name) : 0;
    }
    std::error_code error;
    in.file = open_input(object, in.size, error);
    if (!in.file)
        return fail(error, in_name, opening_failed, in_name.c_str());
    in.sized = in.file != stdin;
    char start[5] = {};
    const bool text = in.sized && std::fread(start, 1, sizeof start, in.file) == sizeof start &&
                      is_calculator_text(std::string_view(start, sizeof start));
    if (in.sized)
        std::rewind(in.file);
    if (!text)
        return 0;
    const int status = read_whole(in.file, in.size, max_text_bytes, in.held)
                           ? read_text(in, in_name)
                           : fail(stream_error(), in_name, reading_failed, in_name.c_str());
    if (status != 0)
        close_input(in.file);
    return status;
}

// Where the string goes: `output` named (a file, a folder, or "-"), or
// with none the current folder, where a string received takes a name of
// its own (`own_name`).
struct Destination {
    fs::path output;
    bool to_standard_output = false;
    bool own_name = false;
};

Destination choose_destination(const fs::path& object, const fs::path* named_output, bool receiving)
{
    Destination to;
    to.output = named_output ? *named_output : fs::path(".");
    to.to_standard_output = named_output && is_standard_stream(to.output);
    std::error_code unused;
    const bool into_folder = named_output && !to.to_standard_output && fs::is_directory(to.output, unused);
    to.own_name = receiving && (!named_output || into_folder);
    if (into_folder && !receiving)
        to.output /= string_name(object);
    return to;
}

// Opens the output the string goes to, none when only checking; a string
// received goes under a name of its own.  Returns 0, or the exit status.
int open_destination(Destination& to, const fs::path* named_output, const std::string& received_name, std::FILE* in,
                     std::FILE*& out)
{
    std::error_code cause;
    refusal why = refusal::none;
    if (to.to_standard_output)
        out = stdout;
    else if (to.own_name)
        why = open_received(received_name, in, out, cause, to.output);
    else if (named_output)
        why = open_output(to.output, in, out, cause);
    return why == refusal::none ? 0 : refuse_output(why, cause, display_name(to.output));
}

// Takes the string out of `object`, or out of the file `received` from the
// calculator, into the output named.
int unwrap_one(const fs::path& object, const fs::path* named_output, const Arguments& arguments,
               received_file* received)
{
    const std::string received_name = received ? received->name : std::string();
    const std::string in_name = received ? shown_text(received_name) : display_name(object);
    if ((!received && object.empty()) || (named_output && named_output->empty()))
        return refuse(empty_name);
    Destination to = choose_destination(object, named_output, received != nullptr);
    // The string is the product on standard output; the report goes aside.
    if (to.to_standard_output) {
        report_on_standard_error();
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
    }
    // Every refusal, those about the output included, comes before the
    // output is opened, so a refusal leaves both files as they were.
    Source in;
    if (const int status = open_source(object, received, in_name, in))
        return status;
    unsigned char head[string_head_size];
    std::uintmax_t characters = 0;
    std::FILE* out = nullptr;
    int status = read_head(in, in_name, head, characters);
    if (status == 0 && !in.sized && !in.holds)
        status = hold_string(in, characters, in_name);
    if (status == 0)
        status = open_destination(to, named_output, received_name, in.file, out);
    const std::string out_name = display_name(to.output);
    if (status == 0) {
        if (!in.text)
            report(header_line, printable(head).c_str());
        report(characters_line, characters);
    }
    // The calculator's checksum runs from the prolog to the last character.
    std::uint16_t crc = crc_update(0, head + header_size, prolog_and_length_size);
    std::uintmax_t written = 0;
    if (status == 0)
        status = copy_string(in, out, characters, arguments.form, crc, written, in_name, out_name);
    // A file that grew or shrank during the run is not the object that was
    // checked; its string may be another's.
    if (status == 0 && !in.holds && current_size(in.file) != static_cast<std::intmax_t>(in.size))
        status = fail({}, in_name, changed, in_name.c_str());
    const bool more = more_follows(in, characters);
    close_input(in.file);
    if (status != 0) {
        if (out && out != stdout)
            discard_output(out);
        return status;
    }
    return finish_string(out, written, out_name, crc, characters, more, in_name);
}

}  // namespace

int unwrap(const fs::path& object, const fs::path* named_output, const Arguments& arguments)
{
    if (!receives(arguments))
        return unwrap_one(object, named_output, arguments, nullptr);
    std::vector<received_file> files;
    std::size_t whole = 0;
    const int status = receive_from_calculator(arguments, files, whole);
    // Every file that came whole is kept, even when the transfer failed
    // after it or another of them is no string.  An output file named
    // takes the first; the others go into the current folder under their
    // own names.  The first failure gives the status.
    std::error_code unused;
    const bool folder = named_output && fs::is_directory(*named_output, unused);
    int first_failure = 0;
    for (std::size_t i = 0; i < whole; ++i)
        if (const int failed = unwrap_one({}, i == 0 || folder ? named_output : nullptr, arguments, &files[i]))
            first_failure = first_failure != 0 ? first_failure : failed;
    return first_failure != 0 ? first_failure : status;
}

}  // namespace korrin
