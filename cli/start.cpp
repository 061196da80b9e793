#include "start.h"

#include "console.h"
#include "output.h"
#include "platform.h"

namespace korrin {

namespace fs = std::filesystem;

namespace {

int run_on(const Program& program, const fs::path& file, file_form form)
{
    if (!program.writes_beside)
        return program.run(file, nullptr, form);
    const fs::path output = object_name(file);
    return program.run(file, &output, form);
}

// Started from Explorer, with files dropped onto the program: each one is
// taken by the one-name rule, one transcript after the other, and the
// window stays until it has been read.
int run_dropped(const Program& program, const Arguments& arguments)
{
    int status = 0;
    if (arguments.files.empty()) {
        print(program.banner);
        print(program.usage);
        print(program.drop);
    }
    for (const fs::path& file : arguments.files) {
        print(program.banner);
        if (run_on(program, file, arguments.form) != 0)
            status = 1;
    }
    wait_for_enter();
    return status;
}

}  // namespace

void prepare_start(const char* program)
{
    prepare_run();
    guard_output(program);
}

int start_with(const Program& program, const std::vector<fs::path>& words)
{
    const Arguments arguments = read_arguments(words);
    if (arguments.help) {
        print(program.usage);
        return 0;
    }
    if (arguments.version) {
        print_version(program.name);
        return 0;
    }
    set_console(program.name, arguments.quiet);
    if (started_from_explorer())
        return run_dropped(program, arguments);

    print(program.banner);
    if (!arguments.unknown.empty())
        return fail({}, unknown_option, display_name(arguments.unknown).c_str());
    if (arguments.files.empty())
        return fail({}, missing_arguments);
    // A shell pattern that matched three files must not pick one of them
    // as the output.
    if (arguments.files.size() > 2)
        return fail({}, too_many_arguments);
    if (arguments.files.size() == 1)
        return run_on(program, arguments.files[0], arguments.form);
    return program.run(arguments.files[0], &arguments.files[1], arguments.form);
}

}  // namespace korrin
