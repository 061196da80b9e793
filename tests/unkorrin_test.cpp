// unkorrin from outside, as korrin's rows: each row a run and its folder.

#include "harness.h"

namespace {

// A string object file with `header` and the characters `text`: the prolog
// 02A2C and L = 2 * size + 5, each least significant nibble first.
std::string object(const std::string& header, const std::string& text)
{
    const std::size_t length = 2 * text.size() + 5;
    return header + ",*" + static_cast<char>((length & 0xf) << 4) + static_cast<char>(length >> 4 & 0xff) +
           static_cast<char>(length >> 12 & 0xff) + text;
}

const std::string abc = object("HPHP49-B", "ABC");

// A refusal of the object file "in" holding `file`.
Row refused(const char* name, std::string file, std::vector<std::string> args, std::string said,
            std::string reason = "")
{
    Row row = refusal(unkorrin_command, name, std::move(args), std::move(said), std::move(reason));
    row.input = std::move(file);
    return row;
}

// The object file "in" taken back to `written` in "out" (or only checked,
// with the same report, when `args` names no output).  The BYTES figures
// were each confirmed by the BYTES command of an HP49G (ROM 1.19-6) with
// the object loaded from the file.
Row unwraps(const char* name, std::string file, std::string report, std::string written,
            std::vector<std::string> args = {"in", "out"})
{
    const bool writes = args.size() > 1 && args.back() == "out";
    Row row = refused(name, std::move(file), std::move(args), std::move(report) + "Done.\n\n");
    row.status = 0;
    if (writes)
        row.objects["out"] = std::move(written);
    return row;
}

const std::string abc_report = "Header: HPHP49-B\nCharacters: 3\nBYTES: # 9CD7h 8.\n";
// « 1 » LF →, as the calculator holds them.
const std::string program_text = "\xAB 1 \xBB\n\x8D";
// Its checksum as unkorrin computes it: the form changes only the output.
const std::string program_report = "Header: HPHP49-B\nCharacters: 7\nBYTES: # ";

const Row rows[] = {
    unwraps("empty_string", object("HPHP49-B", ""), "Header: HPHP49-B\nCharacters: 0\nBYTES: # C7BFh 5.\n", ""),
    unwraps("abc", abc, abc_report, "ABC"),
    unwraps("checking_abc", abc, abc_report, "", {"in"}),
    unwraps("every_byte_value", object("HPHP49-B", every_value()),
            "Header: HPHP49-B\nCharacters: 256\nBYTES: # 71DFh 261.\n", every_value()),
    unwraps("hello_sample_as_korrin_writes_it", object("HPHP49-B", data("../../samples/hello.txt")),
            "Header: HPHP49-B\nCharacters: 65\nBYTES: # 34FDh 70.\n", data("../../samples/hello.txt")),
    // The eighth byte is whatever wrote the file (X an SD card, W an
    // emulator); no calculator checks it.  A byte outside printable ASCII
    // shows as '?'.
    unwraps("any_eighth_header_byte", object(std::string("HPHP49-\x01", 8), "ABC"),
            "Header: HPHP49-?\nCharacters: 3\nBYTES: # 9CD7h 8.\n", "ABC"),
    unwraps("hp48_header", object("HPHP48-E", "ABC"), "Header: HPHP48-E\nCharacters: 3\nBYTES: # 9CD7h 8.\n", "ABC"),
    // Transfers pad files to whole blocks.
    unwraps("padding_after_the_object", abc + std::string(3, '\0'),
            abc_report + "  *** Warning: File <in> goes on after its object; the rest was ignored.\n\n", "ABC"),
    unwraps("as_text", object("HPHP49-B", program_text), program_report + "A5F1h 12.\n",
            "\xC2\xAB 1 \xC2\xBB\n\xE2\x86\x92", {"-t", "in", "out"}),
    unwraps("as_ascii", object("HPHP49-B", program_text), program_report + "A5F1h 12.\n", "%%HP: T(3)A(R)F(.);\n\\<< 1 \\>>\n\\->",
            {"--ascii", "in", "out"}),
    // What the calculator's SEND wrote at level 3: its last CR LF comes
    // back as LF, as the calculator itself would read it.
    unwraps("text_the_calculator_sent", data("send-T3.txt"),
            "Read: text the calculator sent, translation level 3\nCharacters: 771\nBYTES: # 5730h 776.\n",
            data("string.bin").substr(0, 769) + "\n]"),
    // "-" takes the string alone: the report, banner included, goes aside
    // to standard error, out of sight here.
    [] {
        Row row = unwraps("string_onto_standard_output", abc, "", "", {"-t", "in", "-"});
        row.said = "ABC";
        row.last = "";
        row.dots = 0;
        row.banner = false;
        return row.redirected("2>/dev/null");
    }(),
    // Standard input is read as far as its string: what follows the
    // object, or its early end, is found by reading on, before the output
    // is opened.
    unwraps("padded_object_from_standard_input", abc + std::string(3, '\0'),
            abc_report + "  *** Warning: File <-> goes on after its object; the rest was ignored.\n\n", "ABC",
            {"-", "out"})
        .redirected("<in"),
    refused("object_from_standard_input_cut_short", abc.substr(0, abc.size() - 1), {"-", "out"},
            error("File <-> ends before its string does."))
        .redirected("<in"),
    // A standard stream closed at the start reads and writes nothing.
    [] {
        Row row = refused("string_onto_closed_standard_output", abc, {"-q", "in", "-"}, "",
                          "Output file <-> is standard output, which is closed.");
        row.banner = false;
        return row.redirected(">&-");
    }(),
    [] {
        Row row = refused("object_from_closed_standard_input", abc, {"-q", "-", "out"}, "",
                          "File <-> is standard input, which is closed.");
        row.banner = false;
        return row.redirected("<&-");
    }(),
    unwraps("checking_as_text", object("HPHP49-B", program_text), program_report + "A5F1h 12.\n", "",
            {"--text", "in"}),
    // Plain data: the calculator itself would take it as a string.
    refused("shorter_than_a_header", "HPHP49-", {"in", "out"}, error("File <in> is not an HP48 or HP49 object file.")),
    refused("another_header", object("HPHP50-B", "ABC"), {"in", "out"},
            error("File <in> is not an HP48 or HP49 object file.")),
    // Prologs written low nibble first: 02D9D a program, 02A4E a binary
    // integer, 02C10 none a user meets.
    refused("a_program", std::string("HPHP49-B\x9d\x2d\x50\x00\x00", 13), {"in", "out"},
            error("File <in> holds a program, not a character string (prolog 02D9D).")),
    refused("a_binary_integer", std::string("HPHP49-B\x4e\x2a\x70\x00\x00\x0f", 14), {"in", "out"},
            error("File <in> holds a binary integer, not a character string (prolog 02A4E).")),
    refused("an_unknown_object", std::string("HPHP49-B\x10\x2c\x50\x00\x00", 13), {"in", "out"},
            error("File <in> holds no character string (prolog 02C10).")),
    refused("length_below_its_own_field", std::string("HPHP49-B,*\x30\x00\x00", 13), {"in", "out"},
            error("File <in> has a broken length field.")),
    refused("length_ends_in_half_a_byte", std::string("HPHP49-B,*\x60\x00\x00", 13) + "A", {"in", "out"},
            error("File <in> holds a string that ends in half a byte.")),
    refused("header_alone", "HPHP49-B", {"in", "out"}, error("File <in> ends before its string does.")),
    refused("string_cut_short", abc.substr(0, abc.size() - 1), {"in"}, error("File <in> ends before its string does.")),
    refused("output_is_the_object", abc, {"in", "in"}, error("Output file <in> is the input file."),
            "name another output file."),
    refused("output_is_the_text_read", data("send-T3.txt"), {"in", "in"},
            "Read: text the calculator sent, translation level 3\n" + error("Output file <in> is the input file."),
            "name another output file."),
    // korrin's option, unknown here.
    refused("korrins_replace", abc, {"-tr", "in"}, error("Unknown option <-tr>."),
            "Try 'unkorrin --help' for more information."),
    // Received, the object has no file: two names are one too many.
    refused("receiving_with_two_names", abc, {"--receive", "COM1", "in", "out"}, error("Too many arguments."),
            "Try 'unkorrin --help' for more information."),
    // With no port named and none found under an empty system tree, the
    // output's name is no port.
    [] {
        Row row = refused("receiving_finds_no_calculator", abc, {"--receive", "out"},
                          error("No calculator was found: is it connected, and on?"),
                          "no serial port is there: is the cable plugged in, and the calculator on?")
                      .prepared("mkdir -p ../root")
                      .skip_on_windows("the search reads Windows' own list of devices");
        row.options.under = {"env", "KORRIN_SYSTEM_ROOT=../root"};
        return row;
    }(),
    // An object that grows while its first block is held in the read is
    // not the one checked.
    [] {
        const std::string grown = object("HPHP49-B", noise(300000)) + "more";
        Row row = refused("object_grows_while_it_is_read", grown.substr(0, grown.size() - 4), {"in", "out"},
                          "Header: HPHP49-B\nCharacters: 300000\n" + error("File <in> changed while it was read."))
                      .delayed("read", 1, "in", "printf more >> in");
        row.objects["in"] = row.objects["hard"] = grown;
        return row;
    }(),
    // Writes fail in the middle of the copy; the old output is kept.  The
    // rest of the output's handling is korrin's, and its rows check it.
    refused("output_reaches_the_file_size_limit", object("HPHP49-B", std::string(100000, 'x')), {"in", "out"},
            "Header: HPHP49-B\nCharacters: 100000\n" + error("Problem writing file <out>."), "out: File too large")
        .on(Console::pipe)
        .limited("--fsize=16384"),
};

class Unkorrin : public Rows {};

TEST_P(Unkorrin, LeavesEveryFileAsItShould)
{
    check(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Unkorrin, Unkorrin, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// What korrin writes, unkorrin reads back byte for byte, up to the largest
// string; and every byte value goes through either text form and back.
class Trips : public Rows {};

TEST_F(Trips, ThereAndBackAgain)
{
    const Options korrin = with(korrin_command);
    const Options unkorrin = with(unkorrin_command);
    // Every byte value, then a string larger than any block unkorrin reads.
    // A string whose own first line looks like the header of the
    // calculator's transfers keeps that line through the ASCII form.
    for (const std::string& input : {noise(524285), every_value(), "%%HP: T(3)A(R)F(.);\n\\" + every_value()}) {
        put(work / "in", input);
        EXPECT_EQ(run(work, {"in", "obj"}, korrin).status, 0);
        EXPECT_EQ(run(work, {"obj", "back"}, unkorrin).status, 0);
        EXPECT_TRUE(slurp(work / "back") == input) << input.size() << " bytes";
    }
    for (const char* form : {"--text", "--ascii"}) {
        EXPECT_EQ(run(work, {form, "obj", "text"}, unkorrin).status, 0);
        EXPECT_EQ(run(work, {form, "text", "again"}, korrin).status, 0);
        EXPECT_TRUE(slurp(work / "again") == slurp(work / "obj")) << form;
    }
}

}  // namespace
