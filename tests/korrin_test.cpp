// korrin from outside: each row a run, its transcript, reason, exit status
// and every file of its folder compared byte for byte.

#include "harness.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace {

const std::string try_help = "Try 'korrin --help' for more information.";
const std::string name_another = "name another output file.";
const std::string store_under = "give the calculator's name with --name NAME: a letter first, no spaces.";

Row refused(const char* name, std::vector<std::string> args, std::string said, std::string reason = "")
{
    return refusal(korrin_command, name, std::move(args), std::move(said), std::move(reason));
}

// A run whose search for ports reads the made tree ../root, empty but for
// the USB ports `ports` plants there by calling usb NAME VENDOR PRODUCT
// MODEL, as sysfs shows them.
Row searching(Row row, const std::string& ports = "")
{
    const std::string usb =
        "usb() { d=../root/sys/devices/usb1/$1 && mkdir -p $d/1.0/$1/tty/$1 ../root/sys/class/tty ../root/dev && "
        "echo $2 >$d/idVendor && echo $3 >$d/idProduct && printf \"$4\" >$d/product && "
        "ln -s ../../devices/usb1/$1/1.0/$1/tty/$1 ../root/sys/class/tty/$1 && "
        "ln -s ../../../$1 $d/1.0/$1/tty/$1/device && : >../root/dev/$1; }; ";
    row = row.prepared(usb + "mkdir -p ../root" + (ports.empty() ? "" : " && " + ports))
              .skip_on_windows("the search reads Windows' own list of devices");
    row.options.under = {"env", "KORRIN_SYSTEM_ROOT=../root"};
    return row;
}

const std::string calculator_port = "../root/dev/ttyUSB0  HP 49g+/50g calculator (USB 03F0:0121)";
const std::string no_ports = "no serial port is there: is the cable plugged in, and the calculator on?";

// A conversion of `input`, with the length lines and field bytes worked by
// hand from L = 2S + 5 for the `string` it becomes, into `output`.
// A run that prints what it was asked for, with no banner, and succeeds.
Row listing(Row row)
{
    row.banner = false;
    row.status = 0;
    return row;
}

Row converts(const char* name, std::vector<std::string> args, std::string input, std::string lengths, std::string field,
             const char* output = "out", std::string string = "")
{
    Row row = refused(name, std::move(args), std::move(lengths)).given(input);
    row.last = "\nDone.\n\n";
    row.dots = static_cast<long>((string.empty() ? input : string).size());
    row.status = 0;
    row.objects[output] = "HPHP49-B,*" + field + (string.empty() ? input : string);
    return row;
}

// "abc" converted into `output`, its lines and field worked by hand.
Row converts_abc(const char* name, std::vector<std::string> args, const char* output = "out")
{
    return converts(name, std::move(args), "abc", "0000b\nb0\n0\n0\n", std::string("\xb0\x00\x00", 3), output);
}

// A copy of 100000 bytes, read through a pipe, that fails with `message`.
Row copy_fails(const char* name, std::vector<std::string> args, std::string message, std::string reason = "")
{
    return refused(name, std::move(args), "30d45\n50\nd4\n30\n", std::move(reason))
        .given(noise(100000))
        .on(Console::pipe)
        .failing(message);
}

// Writes fail at a file size limit in the middle of the copy into `output`.
Row past_size_limit(const char* name, const std::string& output)
{
    return copy_fails(name, {"in", output}, "Problem writing file <" + output + ">.", output + ": File too large")
        .limited("--fsize=16384");
}

// With no banner and, for a good run, nothing at all on standard output.
Row quietly(Row row)
{
    row.banner = false;
    if (row.status == 0) {
        row.said = row.last = "";
        row.dots = 0;
    }
    return row;
}

// A copy into `output`, ended by `signal` (twice in a row with `twice`) in
// its middle.  The pipe is read again only once the program has ended:
// blocked on its report, it cannot finish the object first, so only the
// handling of the signal can end it.
Row interrupted(const char* name, const std::string& output, int signal, bool twice = false)
{
    Row row = copy_fails(name, {"in", output}, "");
    row.during = [signal, twice](pid_t program, const fs::path&, Snapshot&) {
        for (int times = twice ? 2 : 1; times > 0; --times)
            kill(program, signal);
        siginfo_t ended;
        waitid(P_PID, static_cast<id_t>(program), &ended, WEXITED | WNOWAIT);
    };
    row.status = 128 + signal;
    return signal == SIGINT ? row
                            : row.skip_on_windows("it has no such signal, and wine ends its programs at once on it");
}

// Windows' console by one of its device names: the object would run
// through the transcript, which shows escapes of wine's console here.
Row console_by_name(const char* name, const char* device)
{
    Row row = refused(name, {"in", device}, "", "");
    row.banner = false;
    row.opening_only = true;
    return row.on(Console::terminal).prepared("test -n \"$WINEPREFIX\"", "only Windows names its console so");
}

// Run as root into a sticky folder open to all, as /tmp, where nobody has
// planted a link or a file, while the kernel protects them as `setting`
// of /proc/sys/fs says.
Row planted(const char* name, const char* setting, const char* plant)
{
    return refused(name, {"in", "tmp/out.hp"}, error("Problem opening file <tmp/out.hp>."),
                   "tmp/out.hp: Permission denied")
        .prepared(std::string("test $(id -u) = 0 && grep -qv 0 /proc/sys/fs/") + setting + " && mkdir -m 1777 tmp && " +
                      plant + " && chown -h 65534:65534 tmp/out.hp",
                  "it needs root, and the kernel's protection on")
        .skip_on_windows("it has no such protection");
}

const Row conversions[] = {
    // The format's own three-byte example: the stored object and transcript, whole.
    [] {
        Row row = converts("three_bytes", {"in", "out"}, data("three.in"), data("three.transcript"), "");
        row.banner = false;
        row.last = "";
        row.dots = 0;
        row.objects["out"] = data("three.hp");
        return row;
    }(),
    converts("empty", {"in", "out"}, "", "00005\n50\n0\n0\n", std::string("\x50\x00\x00", 3)),
    converts("every_byte_value", {"in", "out"}, every_value(), "00205\n50\n20\n0\n", std::string("\x50\x20\x00", 3)),
    converts("largest", {"in", "out"}, noise(524285), "fffff\nf0\nff\nff\n", "\xf0\xff\xff"),
    // A name outside any ANSI code page reaches the file system whole.
    converts_abc("names_outside_ansi", {"dätä π.bin", "ωμέγα ünï.hp"}, "ωμέγα ünï.hp").named("dätä π.bin"),
    // One name: the object goes beside the input, its extension replaced.
    converts_abc("one_name", {"notes.txt"}, "notes.hp").named("notes.txt"),
    converts_abc("one_name_with_two_extensions", {"data.tar.gz"}, "data.tar.hp").named("data.tar.gz"),
    converts_abc("one_name_starting_with_a_dot", {".profile"}, ".profile.hp").named(".profile"),
    converts_abc("options_end_at_two_dashes", {"--", "-x"}, "-x.hp").named("-x"),
    // Options stand anywhere before "--", short ones together.
    converts("option_after_the_names", {"in", "out", "--text"}, "ab\r\n", "0000b\nb0\n0\n0\n",
             std::string("\xb0\x00\x00", 3), "out", "ab\n"),
    quietly(converts_abc("quiet", {"-q", "in", "out"})),
    // Quiet, a good run says not even what it noticed: here, PC text.
    quietly(converts("quiet_run_with_a_note", {"-q", "in", "out"}, "a\r\n", "", std::string("\xb0\x00\x00", 3))),
    quietly(converts("short_options_together", {"-tq", "in", "out"}, "ab\r\n", "", std::string("\xb0\x00\x00", 3),
                     "out", "ab\n")),
    // "-" is standard input; an output that is a folder takes the object
    // under the one-name rule.
    converts_abc("standard_input", {"-", "out"}).prepared("printf abc > stdin"),
    converts("standard_input_longer_than_its_first_room", {"-", "out"}, noise(100000), "30d45\n50\nd4\n30\n",
             "\x50\xd4\x30")
        .prepared("cp in stdin"),
    converts_abc("output_is_a_folder", {"in", "folder"}, "folder/in.hp"),
    [] {
        Row row = quietly(refused("standard_output", {"-q", "in", "-"}, "HPHP49-B,*\xb0" + std::string(2, '\0') + "abc"));
        row.status = 0;
        return row.skip_on_windows("wine's console takes no binary object");
    }(),
    // UTF-8 with a byte-order mark and CR LF line ends, from a PC: « 1 »,
    // then →STR, a lone CR, and x̄ of two code points.
    converts("text", {"-t", "in", "out"}, "\xEF\xBB\xBF\xC2\xAB 1 \xC2\xBB\r\n\xE2\x86\x92STR\rx\xCC\x84",
             "0001d\nd0\n1\n0\n", std::string("\xd0\x01\x00", 3), "out", "\xAB 1 \xBB\n\x8DSTR\r\x81"),
    // The calculator's transfers begin with a line of their own.
    converts("ascii", {"--ascii", "in", "out"}, "%%HP: T(3)A(R)F(.);\r\n\\<< 1 \\>>\r\n\\->STR a\\b \\133",
             "00025\n50\n2\n0\n", std::string("\x50\x02\x00", 3), "out", "\xAB 1 \xBB\n\x8DSTR a\\b \x85"),
    // What the calculator lacks becomes its look-alike: quotes, a dash,
    // the ellipsis as three dots, a no-break space; "?" for the rest.
    [] {
        Row row = converts("text_replaced", {"-t", "--replace", "in", "out"},
                           "\xE2\x80\x9Chi\xE2\x80\x9D \xE2\x80\x93\xE2\x80\xA6\xC2\xA0\xE2\x98\x83",
                           "0001b\nb0\n1\n0\n", std::string("\xb0\x01\x00", 3), "out", "\"hi\" -... ?");
        row.reason = "replaced 6 characters the calculator lacks, the first at line 1, column 1 (U+201C \xE2\x80\x9C).";
        return row;
    }(),
    // Twice the largest string's bytes, as text of two bytes a character.
    [] {
        std::string text;
        for (int i = 0; i < 524285; ++i)
            text += "\xC2\xAB";
        return converts("text_longer_than_a_string", {"-t", "in", "out"}, text, "fffff\nf0\nff\nff\n", "\xf0\xff\xff",
                        "out", std::string(524285, '\xAB'));
    }(),
    // A text is read once: rewritten while the run holds its first read,
    // into another of the same length, the text read is the one wrapped.
    [] {
        Row row = converts("text_rewritten_after_it_was_read", {"-t", "in", "out"}, "PAY ALICE 100",
                           "0001f\nf0\n1\n0\n", std::string("\xf0\x01\x00", 3))
                      .delayed("read", 1, "in", "printf 'PAY MALLO 999' > in");
        row.objects["in"] = row.objects["hard"] = "PAY MALLO 999";
        return row;
    }(),
    // Through a symbolic link the file it leads to is written; the link stays.
    converts_abc("output_is_a_link", {"in", "soft_out"}),
    // Written in place, so that each name keeps seeing one file.
    converts_abc("hard_linked_output", {"in", "linked"}, "linked").twin("linked", "linked_twin"),
    // The console is a report: with nobody reading it, or with standard
    // input, output and error closed, the object is still written whole.
    converts("closed_console", {"in", "out"}, noise(100000), "", "\x50\xd4\x30").on(Console::closed_pipe),
    converts("no_console", {"in", "out"}, noise(100000), "", "\x50\xd4\x30")
        .on(Console::none)
        .skip_on_windows("wine's own descriptors take the numbers left closed"),
    // On a terminal each print goes out as it ends, every dot a write of
    // its own.
    converts("terminal", {"in", "out"}, noise(1000), "007d5\n50\n7d\n0\n", std::string("\x50\x7d\x00", 3))
        .on(Console::terminal)
        .skip_on_windows("it has no pseudo-terminals"),
    // The replaced output keeps its ACL and extended attributes: the ACL
    // here gives its group no write, and nobody no access at all.
    converts_abc("output_with_an_acl", {"in", "out"})
        .prepared("setfacl -m u:daemon:rw,u:nobody:-,g::r,m::rw,o::- out && setfattr -n user.a -v b out",
                  "setfacl and setfattr cannot set an ACL and an attribute here")
        .skip_on_windows("wine keeps no ACL"),
    // A folder that only takes more files, and a file mounted over another,
    // cannot have the output renamed over; it is written in place.
    converts_abc("output_in_an_append_only_folder", {"in", "append/obj"}, "append/obj")
        .prepared("mkdir append && cp out append/obj && chattr +a append",
                  "only root can make a folder append-only, on a file system that has them")
        .skip_on_windows("it has no append-only folders"),
    converts_abc("new_output_in_an_append_only_folder", {"in", "append/new"}, "append/new")
        .prepared("mkdir append && chattr +a append",
                  "only root can make a folder append-only, on a file system that has them")
        .skip_on_windows("it has no append-only folders"),
    // A signal at the rename comes once the object is in place: the run
    // has succeeded, whatever it had left to print.
    [] {
        Row row = quietly(converts_abc("signal_as_the_object_takes_its_place", {"in", "out"}))
                      .traced("renameat,renameat2,rename", "signal=SIGTERM");
        row.opening_only = true;
        return row;
    }(),
    converts_abc("output_mounted_on_its_own", {"in", "mounted"}, "mounted")
        .twin("mounted", "mount_source")
        .prepared("cp out mounted && cp out mount_source && mount --bind mount_source mounted",
                  "only root can mount a file over another")
        .skip_on_windows("it has no bind mounts"),
    // A name longer than Windows' 260 characters, to an existing output.
    [] {
        const std::string deep = std::string(120, 'd') + "/" + std::string(120, 'e') + "/out";
        return converts_abc("output_with_a_long_name", {"in", deep}, deep.c_str())
            .prepared("mkdir -p " + deep.substr(0, 241) + " && cp out " + deep);
    }(),
};

const Row failures[] = {
    refused("no_arguments", {}, error("Missing arguments."), try_help),
    // Several names: each file into the last, a folder, as cp puts them.
    [] {
        Row row = quietly(converts_abc("several_files_into_a_folder", {"-q", "in", "in2", "folder"}, "folder/in.hp"));
        row.objects["folder/in2.hp"] = row.objects["folder/in.hp"];
        return row.prepared("cp in in2");
    }(),
    // Refused wherever it stands, --help beside it too.
    refused("unknown_option", {"in", "out", "--frobnicate"}, error("Unknown option <--frobnicate>."), try_help),
    refused("unknown_option_before_help", {"--bogus", "-h"}, error("Unknown option <--bogus>."), try_help),
    refused("unknown_short_option_among_others", {"-tz", "in"}, error("Unknown option <-tz>."), try_help),
    refused("replace_without_text", {"--replace", "in", "out"}, error("Option <--replace> works with --text only."),
            try_help),
    refused("empty_name", {"in", ""}, error("A file name is empty.")),
    // What is no serial port is refused before anything is sent, with the
    // ports there are.
    searching(refused("port_missing", {"--send", "none/ttyUSB9", "in"}, error("Problem opening file <none/ttyUSB9>."),
                      "none/ttyUSB9: No such file or directory\nkorrin: none/ttyUSB9 is not there.\nkorrin: " +
                          no_ports)),
    refused("com_port_missing", {"--send", "COM99", "in"}, error("Problem opening file <COM99>."), "?")
        .prepared("test -n \"$WINEPREFIX\"", "only Windows has COM ports"),
    searching(refused("port_is_no_serial_port", {"--send", "/dev/null", "in"}, error("Problem opening file </dev/null>."),
                      "/dev/null: Inappropriate ioctl for device\nkorrin: /dev/null is no serial port.\n"
                      "korrin: the serial ports there are:\nkorrin:   " + calculator_port),
              "usb ttyUSB0 03f0 0121 ''"),
    // A port the user may not open: the group to join, and the udev rule.
    // The row makes a device file of the first built-in port, as udev
    // makes it for the group dialout.
    refused("port_of_a_group", {"--send", "ttyS0", "in"}, error("Problem opening file <ttyS0>."),
            "ttyS0: Permission denied\nkorrin: ttyS0 belongs to the group dialout: join it (sudo usermod "
            "-aG dialout $USER), then log in again; or install korrin's udev rule, 70-hp-calculator.rules, which "
            "gives a USB 49g+/50g to whoever is logged in.")
        .as_nobody()
        .prepared("mknod ttyS0 c 4 64 && chgrp dialout ttyS0 && chmod 660 ttyS0",
                  "it needs a device file made, and the group dialout"),
    // With no port named, the calculator's is found; none, or several,
    // are refused with the ports there are.
    searching(refused("no_calculator_found", {"--send", "in"}, error("No calculator was found: is it connected, and on?"),
                      no_ports)),
    searching(refused("several_calculators", {"in", "--send"}, error("Several ports may be the calculator's: name one."),
                      "the serial ports there are:\nkorrin:   " + calculator_port + "\nkorrin:   ../root/dev/ttyUSB1  "
                      "HP 49g+/50g calculator (USB 03F0:0121)\nkorrin: name the port, as in: korrin --send "
                      "../root/dev/ttyUSB0 ..."),
              "usb ttyUSB1 03f0 0121 '' && usb ttyUSB0 03f0 0121 ''"),
    // Under wine, the COM ports of the prefix's device map.
    listing(refused("ports_of_the_device_map", {"--ports"}, "COM7  serial port (Test\\Serial7)\n")
                .prepared("test -n \"$WINEPREFIX\" && wine reg delete 'HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM' "
                          "/va /f >/dev/null && wine reg add 'HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM' /v "
                          "'Test\\Serial7' /d COM7 /f >/dev/null",
                          "only Windows has a device map of COM ports")),
    // Every port, the calculator first, what the system says of it escaped.
    listing(searching(refused("ports_listed", {"--ports"}, calculator_port + "\n../root/dev/ttyUSB1  USB serial "
                              "adapter (FT232R\\x1B[2J, USB 0403:6001)\n"),
                      "usb ttyUSB1 0403 6001 'FT232R\\033[2J' && usb ttyUSB0 03f0 0121 ''")),
    // The line's options need the port; unkorrin's are unknown to korrin.
    refused("line_option_without_the_port", {"--baud", "2400", "in", "out"},
            error("Option <--baud> works with --send only."), try_help),
    refused("the_other_programs_line_option", {"--receive", "COM1", "in"}, error("Unknown option <--receive>."),
            try_help),
    refused("port_named_empty", {"--send", "", "in"}, error("Option <--send> names no port."), try_help),
    refused("one_name_for_two_files", {"--send", "COM1", "--name", "X", "in", "in"},
            error("Option <--name> works with one file only."), try_help),
    refused("speed_no_line_takes", {"--send", "COM1", "--baud", "1000", "in"},
            error("The speed 1000 is none the line takes: 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200 "
                  "baud.")),
    // The name goes in the calculator's own characters, checked before the
    // port is opened or the input read: one it lacks is refused by name,
    // Windows showing it in its ANSI code page.
    [] {
        Row row = refused("name_with_a_character_the_calculator_lacks", {"--send", "COM1", "--name", "ŁX", "in"},
                          error("The calculator cannot store a variable named <ŁX>."), store_under);
        row.windows_said = error("The calculator cannot store a variable named <?X>.");
        return row;
    }(),
    [] {
        Row row = refused("name_past_the_first_256_characters", {"--send", "COM1", "--name", "ĀB", "in"},
                          error("The calculator cannot store a variable named <ĀB>."), store_under);
        row.windows_said = error("The calculator cannot store a variable named <?B>.");
        return row;
    }(),
    refused("name_in_the_calculators_characters", {"--send", "COM1", "--name", "Aé", "none"},
            error("Problem opening file <none>."), "none: No such file or directory"),
    // The object is binary: never onto a terminal, and only quietly onto
    // standard output, which otherwise carries the transcript.
    refused("standard_output_without_quiet", {"in", "-"}, error("Output file <-> is standard output."),
            "add -q to write the object there."),
    refused("standard_input_with_no_output_name", {"-"}, error("Missing arguments."),
            "name the output file, or give \"-\" and -q for standard output."),
    // A standard stream closed at the start reads and writes nothing: the
    // object written there would be lost, and no input comes from it.
    quietly(refused("onto_closed_standard_output", {"-q", "in", "-"}, "",
                    "Output file <-> is standard output, which is closed."))
        .redirected(">&-"),
    quietly(refused("from_closed_standard_input", {"-q", "-", "out"}, "", "File <-> is standard input, which is closed."))
        .redirected("<&-"),
    quietly(refused("quiet_failure", {"--quiet", "none", "out"}, "",
                    "Problem opening file <none>.\nkorrin: none: No such file or directory")),
    refused("input_missing", {"none", "out"}, error("Problem opening file <none>."), "none: No such file or directory"),
    // Windows shows the name in its console's code page, '?' for what it lacks.
    [] {
        Row row = refused("input_missing_named_outside_ansi", {"nöne π.bin", "out"},
                          error("Problem opening file <nöne π.bin>."), "nöne π.bin: No such file or directory");
        row.windows_said = error("Problem opening file <n\xf6ne ?.bin>.");
        return row;
    }(),
    refused("input_is_a_directory", {"folder", "out"}, error("Problem opening file <folder>."),
            "folder: Is a directory"),
    refused("input_too_large", {"big", "out"}, error("File <big> is too large (at most 524285 bytes).")),
    // Refused by its size alone, at once: every read of it would fail.
    refused("text_too_large", {"-t", "../huge", "out"}, error("File <../huge> is too large (at most 524285 bytes)."))
        .prepared("truncate -s 2G ../huge")
        .traced("read", "error=EIO", "../huge"),
    // Help that cannot be written is a failure, with its reason.
    [] {
        Row row = refused("help_onto_a_full_device", {"-h"}, "", "standard output: No space left on device");
        row.banner = false;
        return row.redirected(">/dev/full").skip_on_windows("it has no /dev/full");
    }(),
    refused("output_is_the_input", {"in", "in"}, error("Output file <in> is the input file."), name_another),
    refused("output_is_a_hard_link_to_the_input", {"in", "hard"}, error("Output file <hard> is the input file."),
            name_another),
    refused("output_is_a_symbolic_link_to_the_input", {"in", "soft"}, error("Output file <soft> is the input file."),
            name_another),
    refused("one_name_that_is_the_object_name", {"obj.hp"}, error("Output file <obj.hp> is the input file."),
            "note: obj.hp is itself an object file; the calculator will receive it as a string holding the object "
            "file (unkorrin takes the string back out of one).\nkorrin: " + name_another)
        .named("obj.hp")
        .given("HPHP49-B,*\xb0" + std::string(2, '\0') + "abc"),
    refused("ascii_form_named_for_what_it_is", {"a.hp"}, error("Output file <a.hp> is the input file."),
            "note: a.hp is in the calculator's ASCII transfer form; with --ascii the calculator gets the string it "
            "stands for.\nkorrin: " + name_another)
        .named("a.hp")
        .given("%%HP: T(3)A(R)F(.);\r\n\"x\""),
    // Two files dropped onto korrin.exe that both give a.hp: the second is
    // refused, and a.hp keeps the first.
    [] {
        Row row = refused("dropped_files_of_one_object_name", {"a.txt", "a.dat"}, "");
        row.banner = false;
        row.opening_only = true;
        row.objects["a.hp"] = "HPHP49-B,*\xb0" + std::string(2, '\0') + "abc";
        return row.prepared("printf abc > a.txt && printf xyz > a.dat").dropped("korrin.exe");
    }(),
    // A text dropped onto korrin-text.exe gets the calculator's characters.
    [] {
        Row row = refused("text_dropped_onto_korrin_text", {"a.txt"}, "");
        row.banner = false;
        row.opening_only = true;
        row.status = 0;
        row.objects["a.hp"] = "HPHP49-B,*\x10\x01" + std::string(1, '\0') + "\xab 1 \xbb\n";
        return row.prepared("printf '\\302\\253 1 \\302\\273\\r\\n' > a.txt").dropped("korrin-text.exe");
    }(),
    // Windows drops a name's trailing dots: notes.hp. is notes.hp.
    refused("one_name_with_a_trailing_dot", {"notes.hp."}, error("Output file <notes.hp> is the input file."),
            "note: ...")
        .prepared("cp in notes.hp && test -n \"$WINEPREFIX\"", "only Windows drops a name's trailing dots")
        .given("HPHP49-B,*\xb0" + std::string(2, '\0') + "abc"),
    refused("output_folder_missing", {"in", "none/out"}, error("Problem opening file <none/out>."),
            "none/out: No such file or directory"),
    refused("output_folder_named_missing", {"in", "none/"}, error("Folder <none/> does not exist.")),
    refused("baud_that_is_no_number", {"--send", "port", "--baud", "fast", "in"},
            error("Option <--baud> takes a speed in baud, not <fast>: 1200, 2400, 4800, 9600, 19200, 38400, 57600 "
                  "or 115200."),
            try_help),
    refused("baud_written_with_an_equals_sign", {"--send", "COM1", "--baud=9600", "in"},
            error("Unknown option <--baud=9600>."), try_help),
    // The report would run through the object.
    refused("output_is_standard_output", {"in", "../transcript"},
            error("Output file <../transcript> is standard output."))
        .skip_on_windows("wine cannot identify the file it hands a program as standard output"),
    refused("output_is_standard_output_through_a_pipe", {"in", "/dev/stdout"},
            error("Output file </dev/stdout> is standard output."))
        .on(Console::pipe)
        .skip_on_windows("it has no /dev/stdout"),
    refused("output_is_the_terminal_by_another_name", {"in", "/dev/tty"},
            error("Output file </dev/tty> is standard output."))
        .on(Console::terminal)
        .skip_on_windows("it has no /dev/tty"),
    console_by_name("output_is_the_console_as_con", "CON"),
    console_by_name("output_is_the_console_as_conout", "CONOUT$"),
    // Opening a FIFO waits for a writer: the run must refuse it, not hang.
    refused("input_is_a_fifo", {"fifo", "out"}, error("Problem opening file <fifo>."))
        .skip_on_windows("it has no FIFOs"),
    refused("input_is_a_device", {"/dev/zero", "out"}, error("Problem opening file </dev/zero>."))
        .skip_on_windows("it has no device files"),
    // Every write to a full device fails as on a full disk, here only when
    // the output is closed; the device is not removed.  It is a node of the
    // row's own, so a run that wrongly removed it removes nothing else.
    refused("output_device_is_full", {"in", "full"}, "0000b\nb0\n0\n0\n", "full: No space left on device")
        .failing("Problem writing file <full>.")
        .prepared("mknod full c 1 7", "it cannot make a device node here")
        .skip_on_windows("it has no device files"),
    refused("output_is_a_fifo_without_a_reader", {"in", "fifo"}, error("Problem opening file <fifo>."),
            "fifo: No such device or address")
        .skip_on_windows("it has no FIFOs"),
    // Replacing it by a rename must not get around its permission bits.
    refused("output_is_read_only", {"in", "read_only"}, error("Problem opening file <read_only>."),
            "read_only: Permission denied")
        .as_nobody(),
    // The kernel refuses to follow a link, or to open a file, that another
    // user planted in a shared folder; so does korrin.
    planted("planted_link", "protected_symlinks", "ln -s ../out tmp/out.hp"),
    planted("planted_file", "protected_regular", "cp out tmp/out.hp"),
    // Writes fail in the middle of the copy: a new output is never made, an
    // existing one is kept, one written in place is cut to zero.
    past_size_limit("output_reaches_the_file_size_limit", "new"),
    // An object smaller than the output stream's buffer fails only as that
    // is flushed, at the end: where a C library's fclose hides it, the
    // flush and the file's size still tell.
    refused("write_fails_only_as_the_stream_closes", {"in", "out"}, "01775\n50\n77\n1\n", "out: File too large")
        .given(noise(3000))
        .on(Console::pipe)
        .failing("Problem writing file <out>.")
        .limited("--fsize=2048"),
    past_size_limit("old_output_is_kept_when_the_copy_fails", "out"),
    past_size_limit("output_link_reaches_the_file_size_limit", "soft_out"),
    past_size_limit("hard_linked_output_is_cut_to_zero", "linked").emptying({"linked", "linked_twin"}),
    past_size_limit("output_in_a_locked_folder_is_cut_to_zero", "locked/obj").as_nobody().emptying({"locked/obj"}),
    // A file of root's in a folder open to all, written as nobody: its owner
    // could not be kept, as in /tmp.
    past_size_limit("output_of_another_owner_is_cut_to_zero", "shared")
        .as_nobody()
        .emptying({"shared"})
        .prepared("test $(id -u) = 0", "only root can make a file of another owner"),
    // Six descriptors: the standard three, the input, the folder and the
    // old output, and none left for the new file.  The old output is not
    // then written in place: only a folder that refuses new files, or an
    // owner that cannot be kept, sends the object there.
    refused("no_descriptor_left_for_the_new_file", {"in", "out"}, error("Problem opening file <out>."),
            "out: Too many open files")
        .limited("--nofile=6")
        .skip_on_windows("wine needs more descriptors than the program"),
    // The output gone between the run's two opens of it: no empty file is
    // left in its place.
    refused("output_removed_between_its_two_opens", {"in", "out"}, error("Problem opening file <out>."),
            "out: Resource temporarily unavailable")
        .delayed("openat", 1, "out", "rm out")
        .changing({{"out", ""}, {"soft_out", "link to out, dangling"}}),
    // A name taken by a link, even one that leads nowhere, is not followed
    // to make a file at its end.
    refused("output_is_a_link_to_no_file", {"in", "soft_new"}, error("Problem opening file <soft_new>."),
            "soft_new: File exists")
        .skip_on_windows("wine takes a link that leads nowhere for no file"),
    // A link planted under a new output's name, after the run found no
    // file there: before its copy, or during it.  Neither the link nor the
    // file it leads to is touched.
    refused("link_planted_under_a_new_name", {"in", "new"}, error("Problem opening file <new>."), "new: File exists")
        .delayed("openat", 1, "new", "ln -s out new")
        .changing({{"new", "link to out"}, {"soft_new", "link to new"}}),
    [] {
        Row row = copy_fails("link_planted_during_the_copy", {"in", "new"}, "Problem writing file <new>.",
                             "new: File exists");
        row.during = [](pid_t, const fs::path& folder, Snapshot& expected) {
            fs::create_symlink("out", folder / "new");
            for (const char* name : {"new", "soft_new"})
                expected[name] = describe(folder / name);
        };
        return row;
    }(),
    // A signal ends the run and its cleanup; a second one at once cannot
    // cut the cleanup short; one that no terminal sends cleans up too, and
    // a file written in place is cut to zero.
    interrupted("interrupt_keeps_the_old_output", "out", SIGINT),
    interrupted("hangup_twice_keeps_the_old_output", "out", SIGHUP, true),
    interrupted("real_time_signal_cuts_a_hard_linked_output", "linked", SIGRTMIN + 1)
        .emptying({"linked", "linked_twin"}),
    // Reading the start of a process's memory fails: nothing is mapped there.
    refused("input_read_fails", {"/proc/self/mem", "new"}, "00005\n50\n0\n0\n", "/proc/self/mem: Input/output error")
        .failing("Problem reading file </proc/self/mem>.")
        .skip_on_windows("it has no /proc"),
    // A text is read whole before anything is written.
    refused("text_read_fails", {"-t", "/proc/self/mem", "new"}, error("Problem reading file </proc/self/mem>."),
            "/proc/self/mem: Input/output error")
        .skip_on_windows("it has no /proc"),
    // /proc reports a size of 0 for files that hold text, /sys 4096 for
    // files that hold a few bytes.
    refused("input_longer_than_its_size", {"/proc/self/status", "new"}, "00005\n50\n0\n0\n")
        .failing("File </proc/self/status> changed while it was read.")
        .skip_on_windows("it has no /proc"),
    refused("input_shorter_than_its_size", {"/sys/devices/system/cpu/online", "new"}, "02005\n50\n0\n2\n")
        .failing("File </sys/devices/system/cpu/online> changed while it was read.")
        .skip_on_windows("it has no /sys"),
    // Text the calculator cannot hold refuses the run before anything is
    // written; the place counts characters.
    refused("text_with_no_calculator_character", {"-t", "in", "out"},
            error("File <in>, line 3, column 14: U+2603 \xE2\x98\x83 has no calculator character."),
            "--replace writes a look-alike for each, or \"?\" where there is none.")
        .given("one\r\ntwo\n\xC2\xAB 1 \xC2\xBB ... ab \xE2\x98\x83"),
    // Every place is listed, ten at most, and how many more.
    refused("text_with_many_places", {"-t", "in", "out"},
            error("File <in>, line 1, column 1: U+201C \xE2\x80\x9C has no calculator character."),
            [] {
                std::string listed;
                for (int column = 2; column <= 10; ++column)
                    listed += "also line 1, column " + std::to_string(column) + ": U+201C \xE2\x80\x9C.\nkorrin: ";
                return listed + "and 2 more.\nkorrin: --replace writes a look-alike for each, or \"?\" where there is none.";
            }())
        .given([] {
            std::string quotes;
            for (int i = 0; i < 12; ++i)
                quotes += "\xE2\x80\x9C";
            return quotes;
        }()),
    refused("text_not_utf8", {"--text", "in", "out"}, error("File <in>, line 2, column 2: not UTF-8 text."),
            "also line 2, column 3: byte FF.\nkorrin: save the file as UTF-8 text (in Notepad: Save as, Encoding UTF-8) "
            "and convert it again.")
        .given("\xCF\x80\n\xCF\x80\xCF\xFF"),
    refused("ascii_with_a_byte_order_mark", {"-a", "in", "out"},
            error("File <in>, line 1, column 1: a UTF-8 byte-order mark, not ASCII text."),
            "the file was saved as UTF-8: convert it with --text.")
        .given("\xEF\xBB\xBF" "ab"),
    refused("ascii_above_127", {"-a", "in", "out"}, error("File <in>, line 2, column 3: not ASCII text."))
        .given("%%HP: T(3)A(R)F(.);\nab\xE9"),
};

class Korrin : public Rows {};

TEST_P(Korrin, LeavesEveryFileAsItShould)
{
    check(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Converts, Korrin, testing::ValuesIn(conversions),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Refuses, Korrin, testing::ValuesIn(failures),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// Under wine from a shell the program is alone on a console, on a
// terminal, but Explorer did not start it: it waits for nothing.
TEST_F(Korrin, StartedFromAShellWaitsForNothing)
{
    if (!windows)
        GTEST_SKIP() << "only on Windows can a program be started from Explorer";
    put(work / "in", "abc");
    const Result result = run(work, {"in"}, with(korrin_command, Console::terminal));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.transcript.find("Press Enter"), std::string::npos) << result.transcript;
    EXPECT_EQ(slurp(work / "in.hp"), "HPHP49-B,*" + std::string("\xb0\x00\x00", 3) + "abc");
}

// Two runs into one output at once each write a whole object, and the
// output ends as the one that finished last, never a mix of both: a
// replaced output and, locked for the run, one written in place.
TEST_F(Korrin, TwoRunsIntoOneOutputLeaveOneWholeObject)
{
    put(work / "in", noise(100000));
    put(work / "other", "abc");
    for (const char* output : {"out", "linked"}) {
        std::thread second;
        const auto run_second = [&](pid_t, const fs::path&, Snapshot&) {
            second = std::thread([&] { EXPECT_EQ(run(work, {"other", output}, with(korrin_command)).status, 0); });
            // The second run has opened the output when the first ends.
            usleep(100000);
        };
        Snapshot unused;
        EXPECT_EQ(run(work, {"in", output}, with(korrin_command, Console::pipe), run_second, &unused).status, 0);
        second.join();
        const std::string last = slurp(work / output);
        const std::string abc = "HPHP49-B,*\xb0" + std::string(2, '\0') + "abc";
        EXPECT_TRUE(last == "HPHP49-B,*\x50\xd4\x30" + noise(100000) || last == abc) << output;
    }
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
constexpr bool address_sanitizer = __has_feature(address_sanitizer);
#else
constexpr bool address_sanitizer = false;
#endif

// Out of memory, a run ends with status 1, never by an uncaught exception,
// and an output written in place is never cut before its first byte can
// go.  The limit on memory is halved toward one under which the program
// starts but cannot hold copies of its very long names; then toward the
// least under which a run into a hard-linked output writes it, where that
// run comes nearest to running out.  Under each limit tried, the run into
// the hard-linked output leaves it as it was, or whole.
TEST_F(Korrin, RunOutOfMemoryEndsWithStatusOne)
{
    if (windows || address_sanitizer)
        GTEST_SKIP() << "wine and AddressSanitizer need more memory than the limits tried";
    // The longest argument Linux passes.
    const std::string name(128 * 1024 - 1, 'n');
    put(work / "in", "abc");
    bool linked_written = false;
    // How far the run of names goes under `limit`: -1 when it cannot
    // start, 0 when it runs out of memory, 1 when it goes further.
    const auto under = [&](long limit) {
        Options options = with(korrin_command);
        options.under = {"prlimit", "--as=" + std::to_string(limit), "--"};
        const Result into_linked = run(work, {"in", "linked"}, options);
        const std::string linked = slurp(work / "linked");
        EXPECT_TRUE(linked == "old" || linked == "HPHP49-B,*\xb0" + std::string(2, '\0') + "abc") << limit;
        linked_written = into_linked.status == 0;
        const Result result = run(work, {name, name}, options);
        EXPECT_TRUE(result.status != 128 + SIGABRT && into_linked.status != 128 + SIGABRT) << "memory limit " << limit;
        if (result.status == 1 && result.transcript == korrin_banner)
            return 0;
        return result.transcript.size() > korrin_banner.size() ? 1 : -1;
    };
    const long least = 1 << 20;
    long low = least;
    long high = 64 << 20;
    bool ran_out = under(low) == 0 || under(high) == 0;
    while (!ran_out && high - low > 4096) {
        const long limit = (low + high) / 2 / 4096 * 4096;
        const int went = under(limit);
        ran_out = went == 0;
        (went < 0 ? low : high) = limit;
    }
    EXPECT_TRUE(ran_out) << "no limit tried ran the program out of memory";
    for (low = least; ran_out && high - low > 4096;) {
        const long limit = (low + high) / 2 / 4096 * 4096;
        under(limit);
        (linked_written ? high : low) = limit;
    }
}

}  // namespace
