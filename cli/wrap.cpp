#include "wrap.h"

#include "text_forms.h"
#include "cable.h"
#include "calculator_name.h"
#include "console.h"
#include "input.h"
#include "names.h"
#include "output.h"
#include "string_object.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cwctype>
#endif

namespace korrin {

namespace fs = std::filesystem;

namespace {

// The input file's bytes pass through this block on their way to the
// object; the first block is read before anything is written, to tell
// what the bytes look like.  It is shorter by the object's head, so that
// the head and it fill one block of the file and every later block is
// written on a block's boundary, which a file system writes the faster.
char block[1 << 16];
constexpr std::size_t first_block = sizeof block - string_head_size;

// Where the body comes from: held whole, or read from `file`, whose first
// `first` bytes are in `block` already.
struct Body {
    std::FILE* file;
    const std::string* held;
    std::size_t first;
};

// The outputs this run has written, so that a batch of dropped files never
// writes one object over another's (a.txt and a.dat both give a.hp).
std::vector<fs::path> written;

// The files read so far of those to send.
std::vector<outgoing> queued;

// The object file written for `input` when no output is named: beside it,
// its extension replaced by ".hp" (notes.txt gives notes.hp, README gives
// README.hp).
fs::path object_name(const fs::path& input)
{
    fs::path object = input;
#ifdef _WIN32
    // Windows drops the dots and spaces that end a name: "notes.hp." is
    // notes.hp, and its object is notes.hp too.
    std::wstring name = object.filename().native();
    while (!name.empty() && (name.back() == L'.' || name.back() == L' '))
        name.pop_back();
    object.replace_filename(name);
#endif
    return object.replace_extension(".hp");
}

// A name as the file system compares it: on Windows, letter case aside.
fs::path comparable(const fs::path& output)
{
    std::error_code error;
    fs::path name = fs::absolute(output, error).lexically_normal();
#ifdef _WIN32
    std::wstring text = name.native();
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    name = text;
#endif
    return name;
}

int fail_after_dots(std::error_code cause, const std::string& name, const char* message)
{
    print(end_of_dots);
    return fail(cause, name, message, name.c_str());
}

// One line on standard error where the bytes suggest another way: text
// that --text would translate, or an object file that the calculator
// would receive as a string holding it.
void note_what_the_bytes_look_like(std::string_view start, bool more_follows, const std::string& name, bool dropped)
{
    if (start.size() >= header_size && is_object_header(start.substr(0, header_size)))
        note("note: %s is itself an object file; the calculator will receive it as a string holding the object file "
             "(unkorrin takes the string back out of one).",
             name.c_str());
    else if (is_calculator_text(start))
        note(dropped ? "note: %s is in the calculator's ASCII transfer form; dropped onto korrin-text.exe, or with "
                       "--ascii, the calculator gets the string it stands for."
                     : "note: %s is in the calculator's ASCII transfer form; with --ascii the calculator gets the "
                       "string it stands for.",
             name.c_str());
    else if (looks_like_pc_text(start, more_follows))
        note(dropped ? "note: %s looks like text from a PC; dropped onto korrin-text.exe, the calculator gets its own "
                       "characters."
                     : "note: %s looks like text from a PC; with --text the calculator gets its own characters.",
             name.c_str());
}

// A character as a message shows it: its code point, and the character
// itself where it is one; bytes that are no character, in hexadecimal.
std::string shown(const text_fault& fault)
{
    char code[16];
    if (fault.code_point == 0) {
        std::string bytes = fault.size > 1 ? "bytes" : "byte";
        for (std::size_t i = 0; i < fault.size; ++i) {
            std::snprintf(code, sizeof code, " %02X", static_cast<unsigned>(fault.bytes[i]));
            bytes += code;
        }
        return bytes;
    }
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(fault.code_point));
    // A control or format character would steer the terminal, or hide
    // itself: its code point alone.
    if (is_invisible(fault.code_point))
        return code;
    return std::string(code) + " " + std::string(reinterpret_cast<const char*>(fault.bytes.data()), fault.size);
}

// The calculator characters that the text `bytes` becomes, into `string`;
// or 1 after listing the places the text cannot become a string.
int translate(std::string& bytes, const Arguments& arguments, const std::string& name, std::string& string)
{
    const bool ascii = arguments.form == file_form::ascii;
    text_reading reading = read_whole_text(std::move(bytes), {ascii ? text_form::ascii : text_form::utf8, arguments.replace});
    if (reading.fault_count == 0) {
        string = std::move(reading.bytes);
        const text_fault& first = reading.first_replaced;
        if (reading.replaced != 0)
            note("replaced %ju characters the calculator lacks, the first at line %ju, column %ju (%s).",
                 reading.replaced, first.line, first.column, shown(first).c_str());
        if (reading.trigraphs_kept)
            note("note: the header of %s names T(%d): its backslash sequences stay as written, as on the calculator.",
                 name.c_str(), reading.level);
        return 0;
    }
    for (std::size_t i = 0; i < reading.faults.size(); ++i) {
        const text_fault& fault = reading.faults[i];
        char place[64];
        std::snprintf(place, sizeof place, "line %ju, column %ju", fault.line, fault.column);
        if (i != 0)
            note("also %s: %s.", place, shown(fault).c_str());
        else if (fault.kind == text_fault_kind::no_character)
            fail({}, name, no_character, name.c_str(), fault.line, fault.column, shown(fault).c_str());
        else if (fault.kind == text_fault_kind::byte_order_mark)
            fail({}, name, byte_order_mark, name.c_str());
        else
            fail({}, name, ascii ? not_ascii : not_utf8, name.c_str(), fault.line, fault.column);
    }
    if (reading.fault_count > reading.faults.size())
        note("and %ju more.", reading.fault_count - reading.faults.size());
    const text_fault_kind kind = reading.faults.front().kind;
    if (kind == text_fault_kind::no_character)
        note("--replace writes a look-alike for each, or \"?\" where there is none.");
    else if (kind == text_fault_kind::byte_order_mark)
        note("the file was saved as UTF-8: convert it with --text.");
    else if (!ascii)
        note("save the file as UTF-8 text (in Notepad: Save as, Encoding UTF-8) and convert it again.");
    return 1;
}

// Copies exactly `size` bytes of `body` to `out` in blocks, a dot for each
// byte, and checks that the input ends there: the length field already
// promises `size` bytes, and a file that grew or shrank since its size was
// taken would make the field lie about the body.
int copy_body(const Body& body, std::FILE* out, std::uintmax_t size, const std::string& in_name,
              const std::string& out_name)
{
    std::FILE* in = body.file;
    std::uintmax_t left = size;
    for (std::size_t got = body.first; got != 0;) {
        if (const std::error_code error = write_block(out, block, got))
            return fail_after_dots(error, out_name, writing_failed);
        print_dots(got);
        left -= got;
        const std::size_t wanted = left < sizeof block ? static_cast<std::size_t>(left) : sizeof block;
        got = wanted != 0 ? std::fread(block, 1, wanted, in) : 0;
    }
    const bool ends_there = left == 0 && std::fgetc(in) == EOF;
    if (std::ferror(in))
        return fail_after_dots(stream_error(), in_name, reading_failed);
    if (!ends_there)
        return fail_after_dots({}, in_name, changed);
    return 0;
}

// Writes the object of `characters` characters: its head and length, each
// length byte reported, then the body.
int write_object(const Body& body, std::FILE* out, std::uintmax_t characters, const std::string& in_name,
                 const std::string& out_name)
{
    const std::string head = object_file_head(characters);
    report("%s\n", length_digits(characters).c_str());
    for (std::size_t i = object_head.size(); i < head.size(); ++i)
        report("%x\n", static_cast<unsigned>(static_cast<unsigned char>(head[i])));
    if (std::fwrite(head.data(), 1, head.size(), out) != head.size())
        return fail_after_dots(stream_error(), out_name, writing_failed);
    if (!body.held)
        return copy_body(body, out, characters, in_name, out_name);
    // In two writes, the first of them as long as the first block.
    const std::string& bytes = *body.held;
    std::size_t size = std::min(bytes.size(), first_block);
    for (std::size_t at = 0; size != 0; at += size, size = bytes.size() - at) {
        if (const std::error_code error = write_block(out, bytes.data() + at, size))
            return fail_after_dots(error, out_name, writing_failed);
        print_dots(size);
    }
    return 0;
}

// The object goes to standard output, which carries nothing else in a
// quiet run, and never to a terminal, where binary bytes mean nothing.
int write_to_standard_output(const Body& body, std::uintmax_t characters, const std::string& in_name)
{
    const std::string out_name = "-";
    const bool terminal = stdout_is_terminal();
    if (!quiet_run() || terminal) {
        fail({}, out_name, is_console, out_name.c_str());
        note(terminal ? "redirect standard output to a file or a program." : "add -q to write the object there.");
        return 1;
    }
    // The transcript's lines end in CR LF on Windows; the object's bytes
    // go as they are.
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (const int status = write_object(body, stdout, characters, in_name, out_name); status != 0)
        return status;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return fail(stream_error(), out_name, writing_failed, out_name.c_str());
    return 0;
}


// The input as it is read: its file, still open (standard input among
// them), and the bytes of it that are held whole, with the body the
// object is written from.
struct Input {
    std::FILE* file = nullptr;
    std::string held;      // the input's bytes, held whole
    std::string string;    // a text's string, in the calculator's characters
    Body body{};
    std::uintmax_t characters = 0;
};

// Opens `input` and reads what must be held whole: a text, which is read
// once so that what is written is what was checked; standard input, which
// can be read only once; and all that is sent (`hold`).  A file too large
// to fit is refused before it is read.  Only a regular file is read: a
// FIFO would hold the open until a writer came, a directory opens but
// fails every read, and a device's size says nothing of what it holds.
// Returns 0 with the input open, or the exit status with it closed.
int read_body(const fs::path& input, const Arguments& arguments, bool hold, const std::string& in_name, Input& read)
{
    std::uintmax_t size = 0;
    std::error_code error;
    read.file = open_input(input, size, error);
    if (!read.file)
        return fail(error, in_name, opening_failed, in_name.c_str());
    const bool text = arguments.form != file_form::bytes;
    const bool whole = text || read.file == stdin || hold;
    const std::uintmax_t most = text ? max_text_bytes : max_string_bytes;
    int status = 0;
    if (size > most || (whole && !read_whole(read.file, size, most, read.held)))
        status = size <= most ? fail(stream_error(), in_name, reading_failed, in_name.c_str())
                              : fail({}, in_name, too_large, in_name.c_str());
    else if (whole && read.held.size() > most)
        status = fail({}, in_name, too_large, in_name.c_str());
    else if (text)
        status = translate(read.held, arguments, in_name, read.string);
    read.body = {read.file, text ? &read.string : whole ? &read.held : nullptr, 0};
    read.characters = read.body.held ? read.body.held->size() : size;
    if (status == 0 && read.characters > max_string_bytes)
        status = fail({}, in_name, too_large, in_name.c_str());
    if (status != 0) {
        close_input(read.file);
        return status;
    }
    if (!text) {
        // Standard input is held already; a file's first block tells.
        if (!whole)
            read.body.first = std::fread(block, 1, size < first_block ? static_cast<std::size_t>(size) : first_block,
                                         read.file);
        note_what_the_bytes_look_like(whole ? std::string_view(read.held) : std::string_view(block, read.body.first),
                                      !whole && read.body.first < size, in_name, arguments.dropped);
    }
    return 0;
}

// The file the object goes to: the one named; in a folder named, or beside
// the input, the input's name with .hp, as cp puts a file into a folder.
// Returns -1 to go on, or the exit status of a refusal.
int choose_output(const fs::path& input, const fs::path* named_output, bool from_standard_input, fs::path& output)
{
    output = named_output ? *named_output : fs::path();
    std::error_code unused;
    // A name that ends in a separator names a folder, which must be there.
    const auto& typed = output.native();
    if (named_output && !typed.empty() && fs::path(typed.substr(typed.size() - 1)).has_root_directory() &&
        !fs::is_directory(output, unused)) {
        const std::string shown = display_name(output);
        return fail({}, shown, folder_missing, shown.c_str());
    }
    if (!named_output || fs::is_directory(output, unused)) {
        if (from_standard_input) {
            refuse(missing_arguments);
            note("name the output file, or give \"-\" and -q for standard output.");
            return 1;
        }
        output = named_output ? output / object_name(input).filename() : object_name(input);
    }
    const std::string out_name = display_name(output);
    if (std::find(written.begin(), written.end(), comparable(output)) != written.end())
        return fail({}, out_name, written_before, out_name.c_str());
    return -1;
}

// Writes the object of what was read to `output`, which takes its place
// only once it is whole; the input is closed.  Returns the exit status.
int write_output(Input& read, const fs::path& output, const std::string& in_name)
{
    const std::string out_name = display_name(output);
    std::FILE* out = nullptr;
    std::error_code cause;
    if (const refusal why = open_output(output, read.file, out, cause); why != refusal::none) {
        close_input(read.file);
        return refuse_output(why, cause, out_name);
    }
    const int status = write_object(read.body, out, read.characters, in_name, out_name);
    close_input(read.file);
    if (status != 0) {
        discard_output(out);
        return status;
    }
    // Buffered bytes reach the file only as it is flushed, so a full disk
    // often shows here first.
    if (const std::error_code failure = finish_output(out, string_head_size + read.characters))
        return fail_after_dots(failure, out_name, writing_failed);
    written.push_back(comparable(output));
    print(korrin_done);
    return 0;
}

}  // namespace

int send_queued(const Arguments& arguments)
{
    return send_to_calculator(arguments, queued);
}

int wrap(const fs::path& input, const fs::path* named_output, const Arguments& arguments)
{
    const std::string in_name = display_name(input);
    if (input.empty() || (named_output && named_output->empty()))
        return refuse(empty_name);
    // Sent over the line, the object is held whole, and the name it goes
    // under is checked before anything is read.  The name in UTF-8, and as
    // the console shows it.
    const bool sending = sends(arguments);
    const std::string utf8_name = arguments.name.empty() ? calculator_name(input) : arguments.name;
    const std::string name = display_name(fs::u8path(utf8_name));
    const std::string stored = sending ? stored_name(utf8_name) : std::string();
    if (sending && stored.empty()) {
        refuse(unstorable_name, name.c_str());
        note("give the calculator's name with --name NAME: a letter first, no spaces.");
        return 1;
    }
    // Everything that can refuse the run comes before the output is
    // opened, so a refusal leaves both files as they were.
    Input read;
    if (const int status = read_body(input, arguments, sending, in_name, read))
        return status;
    if (sending) {
        close_input(read.file);
        queued.push_back({name, stored, object_file(*read.body.held)});
        return 0;
    }
    if (named_output && is_standard_stream(*named_output)) {
        const int status = write_to_standard_output(read.body, read.characters, in_name);
        close_input(read.file);
        return status;
    }
    fs::path output;
    if (const int status = choose_output(input, named_output, read.file == stdin, output); status >= 0) {
        close_input(read.file);
        return status;
    }
    return write_output(read, output, in_name);
}

}  // namespace korrin
