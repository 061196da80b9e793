// unkorrin from outside: each case a row of a table, its transcript, exit
// status and files compared byte for byte.

#include "harness.h"

#include <string>
#include <vector>

namespace {

const std::string banner = "Unkorrin\nVersion 1.0\n\n  Usage:  unkorrin object_file [output_file]\n\n";

// A string object file with `header` and the characters `text`: the prolog
// 02A2C and L = 2 * size + 5, each least significant nibble first.
std::string object(const std::string& header, const std::string& text)
{
    const std::size_t length = 2 * text.size() + 5;
    return header + ",*" + static_cast<char>((length & 0xf) << 4) + static_cast<char>(length >> 4 & 0xff) +
           static_cast<char>(length >> 12 & 0xff) + text;
}

std::string every_value()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes += static_cast<char>(value);
    return bytes;
}

struct Unwrapping {
    const char* name;
    std::string object;
    std::string text;    // the string's bytes
    std::string report;  // after the banner
};

// The BYTES figures were each confirmed by the BYTES command of an HP49G
// (ROM 1.19-6) with the object loaded from the file.
const Unwrapping unwrappings[] = {
    {"empty_string", object("HPHP49-B", ""), "", "Header: HPHP49-B\nCharacters: 0\nBYTES: # C7BFh 5.\n"},
    {"abc", object("HPHP49-B", "ABC"), "ABC", "Header: HPHP49-B\nCharacters: 3\nBYTES: # 9CD7h 8.\n"},
    {"every_byte_value", object("HPHP49-B", every_value()), every_value(),
     "Header: HPHP49-B\nCharacters: 256\nBYTES: # 71DFh 261.\n"},
    {"hello_sample_as_korrin_writes_it", object("HPHP49-B", data("../../samples/hello.txt")),
     data("../../samples/hello.txt"), "Header: HPHP49-B\nCharacters: 65\nBYTES: # 34FDh 70.\n"},
    // The eighth byte is whatever wrote the file; no calculator checks it.
    {"sd_card_header", object("HPHP49-X", "ABC"), "ABC", "Header: HPHP49-X\nCharacters: 3\nBYTES: # 9CD7h 8.\n"},
    {"emulator_header", object("HPHP49-W", "ABC"), "ABC", "Header: HPHP49-W\nCharacters: 3\nBYTES: # 9CD7h 8.\n"},
    {"hp48_header", object("HPHP48-E", "ABC"), "ABC", "Header: HPHP48-E\nCharacters: 3\nBYTES: # 9CD7h 8.\n"},
    {"unprintable_header_byte", object(std::string("HPHP49-\x01", 8), "ABC"), "ABC",
     "Header: HPHP49-?\nCharacters: 3\nBYTES: # 9CD7h 8.\n"},
    // Transfers pad files to whole blocks.
    {"padding_after_the_object", object("HPHP49-B", "ABC") + std::string(3, '\0'), "ABC",
     "Header: HPHP49-B\nCharacters: 3\nBYTES: # 9CD7h 8.\n  *** Warning: File <obj> goes on after its object; the "
     "rest was ignored.\n\n"},
};

class Unwraps : public Unkorrin, public testing::WithParamInterface<Unwrapping> {};

// The string's bytes reach the output unchanged, replacing an old output;
// checking only reports the same and writes nothing.
TEST_P(Unwraps, WritesTheStringAndItsBytesFigures)
{
    const Unwrapping& row = GetParam();
    put(work / "obj", row.object);
    put(work / "out", "old");
    const std::string transcript = lines(banner + row.report + "Done.\n\n");

    const Result checked = run(work, {"obj"});
    EXPECT_EQ(checked.status, 0);
    EXPECT_EQ(checked.transcript, transcript);
    EXPECT_EQ(slurp(work / "out"), "old");

    const Result written = run(work, {"obj", "out", "more", "words"});
    EXPECT_EQ(written.status, 0);
    EXPECT_EQ(written.transcript, transcript);
    EXPECT_EQ(slurp(work / "out"), row.text);
    EXPECT_EQ(snapshot(work).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Unkorrin, Unwraps, testing::ValuesIn(unwrappings),
                         [](const testing::TestParamInfo<Unwrapping>& info) { return info.param.name; });

// What korrin writes, unkorrin reads back byte for byte, up to the largest
// string the format holds.
TEST_F(Unkorrin, ReadsBackWhatKorrinWrote)
{
    for (const std::string& input : {every_value(), noise(524285)}) {
        put(work / "in", input);
        EXPECT_EQ(run(work, {"in", "obj"}, {Console::file, RLIM_INFINITY, RLIM_INFINITY, false, nullptr, nullptr,
                                            &korrin_command})
                      .status,
                  0);
        EXPECT_EQ(run(work, {"obj", "back"}).status, 0);
        EXPECT_TRUE(slurp(work / "back") == input) << input.size() << " bytes";
    }
}

struct Refusal {
    const char* name;
    std::string object;
    std::vector<std::string> args;
    std::string said;  // after the banner
    const char* not_on_windows = nullptr;
    rlim_t file_size_limit = RLIM_INFINITY;
};

void PrintTo(const Refusal& row, std::ostream* out)
{
    *out << row.name;
}

class Refuses : public Unkorrin, public testing::WithParamInterface<Refusal> {};

// A refused or failed run leaves the folder as it was: the old output whole
// and no new file.
TEST_P(Refuses, LeavesEveryFileAsItWas)
{
    const Refusal& row = GetParam();
    if (windows && row.not_on_windows)
        GTEST_SKIP() << "not on Windows: " << row.not_on_windows;
    put(work / "obj", row.object);
    put(work / "out", "old");
    ASSERT_TRUE(fs::create_directory(work / "folder"));
    const Snapshot before = snapshot(work);
    const bool limited = row.file_size_limit != RLIM_INFINITY;
    const Result result = run(work, row.args, {limited ? Console::pipe : Console::file, row.file_size_limit});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.transcript, lines(banner + row.said));
    EXPECT_EQ(settled_snapshot(work, before), before);
}

const std::string abc = object("HPHP49-B", "ABC");

const Refusal refusals[] = {
    {"no_arguments", abc, {}, error("Missing arguments.")},
    {"object_missing", abc, {"none", "out"}, error("Problem opening file <none>.")},
    {"object_is_a_directory", abc, {"folder", "out"}, error("Problem opening file <folder>.")},
    // Plain data: the calculator itself would take it as a string.
    {"shorter_than_a_header", "HPHP49-", {"obj", "out"}, error("File <obj> is not an HP48 or HP49 object file.")},
    {"another_header", object("HPHP50-B", "ABC"), {"obj", "out"},
     error("File <obj> is not an HP48 or HP49 object file.")},
    // Prologs written low nibble first: 02D9D a program, 02A4E a hex string.
    {"a_program", std::string("HPHP49-B\x9d\x2d\x50\x00\x00", 13), {"obj", "out"},
     error("File <obj> holds no character string (prolog 02D9D).")},
    {"a_hex_string", std::string("HPHP49-B\x4e\x2a\x70\x00\x00\x0f", 14), {"obj", "out"},
     error("File <obj> holds no character string (prolog 02A4E).")},
    {"length_below_its_own_field", std::string("HPHP49-B,*\x30\x00\x00", 13), {"obj", "out"},
     error("File <obj> has a broken length field.")},
    {"length_ends_in_half_a_byte", std::string("HPHP49-B,*\x60\x00\x00", 13) + "A", {"obj", "out"},
     error("File <obj> holds a string that ends in half a byte.")},
    {"header_alone", "HPHP49-B", {"obj", "out"}, error("File <obj> ends before its string does.")},
    {"string_cut_short", abc.substr(0, abc.size() - 1), {"obj", "out"},
     error("File <obj> ends before its string does.")},
    {"checking_a_string_cut_short", abc.substr(0, abc.size() - 1), {"obj"},
     error("File <obj> ends before its string does.")},
    {"output_is_the_object", abc, {"obj", "obj"}, error("Output file <obj> is the input file.")},
    {"output_is_standard_output", abc, {"obj", "../transcript"},
     error("Output file <../transcript> is standard output."),
     "wine cannot identify the file it hands a program as standard output"},
    {"output_folder_missing", abc, {"obj", "none/out"}, error("Problem opening file <none/out>.")},
    // Writes fail in the middle of the copy; the old output is kept.
    {"output_reaches_the_file_size_limit", object("HPHP49-B", std::string(100000, 'x')), {"obj", "out"},
     "Header: HPHP49-B\nCharacters: 100000\n" + error("Problem writing file <out>."), nullptr, 16384},
};

INSTANTIATE_TEST_SUITE_P(Unkorrin, Refuses, testing::ValuesIn(refusals),
                         [](const testing::TestParamInfo<Refusal>& info) { return info.param.name; });

}  // namespace
