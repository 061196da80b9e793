// The start of a run of either program, from its command line to its exit
// status, the same for both.

#ifndef KORRIN_CLI_START_H
#define KORRIN_CLI_START_H

#include "arguments.h"

#include <filesystem>
#include <string_view>
#include <vector>

namespace korrin {

// What tells the two programs apart at their start.
struct Program {
    const char* name;
    const char* banner;
    const char* usage;       // the forms of its command line and what it does
    const char* line_usage;  // the heading of the serial line's options
    const char* drop;  // how to use the program from Explorer
    // Whether "-" as the output takes the product while the whole
    // transcript, banner included, goes to standard error.
    bool product_beside_report;
    program_kind kind;      // which of the options it takes
    const char* port_option;  // the option naming the port, which the line's others need
    // Sends what its work queued, every file named having been read; null
    // for a program that does not send.
    int (*send_queued)(const Arguments& arguments);
};

// What a program does with its first file and, where one is named, its
// output; returns the exit status.
using Work = int (*)(const std::filesystem::path& file, const std::filesystem::path* output,
                     const Arguments& arguments);

// Sets up the process before anything is printed or opened.  A standard
// descriptor that the caller left closed is opened on the null device, so
// that no file of the run can take its number and receive the report;
// "-" for standard input or output left closed is then refused.  On
// a terminal every print goes out as it ends; redirected, output is fully
// buffered.  A reader that goes away (a closed pipe) makes later prints
// fail instead of ending the process: the console is a report, and the
// object file decides how a run ends.  Likewise a file size limit makes the
// write that passes it fail, to be reported.
void prepare_start(const char* program);

// Whether a program started from Explorer takes its files as text: it was
// started under the name korrin-text, of either case, with or without
// ".exe".  Dropping text files onto that name converts them with --text.
bool starts_as_text(std::string_view started_as);

// Whether the program was started from Explorer (double-clicked, or files
// dropped onto it), from the number of `processes` on the program's
// console, whether standard output is that console, and the file name of
// the program that started it.  A program started from a command prompt
// shares the console with it; one whose output is redirected is watched by
// no window; and one started from a Unix shell under wine is alone on a
// console too, but was not started by Explorer.
bool explorer_start(unsigned long processes, bool output_is_console, std::string_view parent);

// Runs `program` on the words after its name, and returns the exit status.
int start_with(const Program& program, Work work, const std::filesystem::path& started_as,
               const std::vector<std::filesystem::path>& words);

// Ends a run that the library failed with an exception, which nothing of
// the programs throws: says so, removes the run's unfinished output, and
// gives status 1.
int unexpected_end(const char* what);

// The same from the program's entry, of either width.  Memory may run out
// while the words are copied, so the cleanup is set up before.
template <typename Char>
int start(const Program& program, Work work, int argc, Char** argv)
{
    prepare_start(program.name);
    try {
        return start_with(program, work, argc > 0 ? std::filesystem::path(argv[0]) : std::filesystem::path(),
                          {argv + (argc > 0 ? 1 : 0), argv + argc});
    } catch (const std::exception& failure) {
        return unexpected_end(failure.what());
    } catch (...) {
        return unexpected_end("unknown failure");
    }
}

}  // namespace korrin

#endif  // KORRIN_CLI_START_H
