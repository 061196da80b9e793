// How a run writes its output so that nothing is lost: which output is
// refused, which is written in place and why, and how the others are
// replaced.  The steps themselves are the system's (output_system.h).
//
// A run's output is in one of these states, all of them kept in `pending`,
// and each cleanup (a failed step, a signal that ends the run, memory
// running out) does this in each:
//
//   nothing open           nothing to undo.
//   new file               the run's new file beside the output (`fresh`)
//                          is removed, by the name the run gave it in the
//                          folder the run opened (on Windows, through the
//                          run's own handle); the output is untouched.
//   in place, untouched    the output is open (`old`) and locked against
//                          other runs, but not yet cut: nothing to undo.
//   in place, written      the output has been cut and is being written
//                          (`cut`, from the cut to the close that ends
//                          the writing): it is cut to zero, so that no
//                          broken object is left looking whole.
//   copied back            a finished new file that could not take the
//                          output's place is being copied into it: both of
//                          the two above.
//   done                   the new file has taken the output's place, or
//                          the output was written whole: nothing to undo.
//
// A device, a FIFO or a terminal is written as it is; nothing of it is
// kept in `pending`, and no cleanup touches it.

#include "output.h"

#include "console.h"
#include "output_system.h"
#include "platform.h"

#include <cstdlib>
#include <new>

namespace korrin {

namespace fs = std::filesystem;

namespace {

Output pending;

// The output stream's buffer, set before anything is written, so that no
// write can fail for want of memory after the output has been cut.
char output_buffer[1 << 16];

void out_of_memory()
{
    hold_signals();
    undo(pending);
    std::fflush(stdout);
    std::_Exit(1);
}

bool same_file(const Identity& a, const Identity& b)
{
    return a.device == b.device && a.file == b.file;
}

// Ends the run's hold on its output: after a failure it undoes what the
// state calls for, then closes everything the run opened.
void settle(bool failed)
{
    if (failed && pending.cut)
        static_cast<void>(cut_to_zero(pending.old));
    hold_signals();
    pending.cut = false;
    release_signals();
    if (pending.fresh != no_handle)
        remove_fresh(pending);
    close_handle(pending.old);
    close_handle(pending.folder);
}

int refuse(const char* message, const std::string& name, std::error_code cause = {})
{
    settle(true);
    return fail(cause, message, name.c_str());
}

// Puts the finished new file in the output's place.
std::error_code place_new_file()
{
    // Durable before visible: renamed over the old output before its
    // content reaches the disk, a power cut could leave neither object.
    // A new output has nothing to lose.
    if (pending.old != no_handle)
        if (const std::error_code error = sync(pending.fresh))
            return error;
    std::error_code error = put_in_place(pending);
    // An output that can be written but not replaced (held open by another
    // program on Windows, say) is written in place after all, from the
    // finished new file, while both are still there.
    if (error && refuses_replacement(error) && pending.old != no_handle && pending.fresh != no_handle &&
        !(error = lock(pending.old))) {
        error = cut_to_zero(pending.old);
        hold_signals();
        pending.cut = true;
        release_signals();
        if (!error)
            error = copy_into_old(pending);
        if (!error) {
            hold_signals();
            pending.cut = false;
            release_signals();
        }
    }
    return error;
}

}  // namespace

void guard_output(const char* program)
{
    pending.owner = this_process();
    pending.program = program;
    guard_signals(pending);
    std::set_new_handler(out_of_memory);
}

int open_output(const fs::path& output, std::FILE* in, const std::string& name, std::FILE*& out)
{
    out = nullptr;
    handle old_file = no_handle;
    if (const std::error_code error = open_existing(output, old_file))
        return fail(error, opening_failed, name.c_str());
    pending.old = old_file;
    const bool exists = old_file != no_handle;

    Identity old;
    Identity other;
    if (exists && !identify(old_file, old))
        return refuse(opening_failed, name);
    // Refused: the output is the input, under whatever name.  Writing it
    // would destroy the input before a byte of it is read.
    if (exists && identify(handle_of(in), other) && same_file(old, other))
        return refuse(is_input, name);
    // Refused: the output is where the transcript goes, standard output
    // under another name (/dev/stdout, a file redirected to), or the
    // terminal that shows it (/dev/tty).  The report would run through the
    // object.  A device that is no terminal (/dev/null) keeps neither.
    if (exists && identify_console(other) &&
        ((same_file(old, other) && (!old.special || old.terminal != 0)) ||
         (old.terminal != 0 && old.terminal == other.terminal)))
        return refuse(is_console, name);

    // In place, as it is: a device, a FIFO or a terminal has no content to
    // replace, and is never cut.
    if (exists && !old.regular) {
        std::error_code error;
        handle unused = no_handle;
        out = stream_over(old_file, unused, error);
        settle(false);
        return out ? 0 : fail(error, opening_failed, name.c_str());
    }

    if (const std::error_code error = find_folder(output, pending))
        return refuse(opening_failed, name, error);

    // In place, because replacing the output would change more than its
    // content, or cannot be done: a file with several hard links (each name
    // must keep seeing one file); a folder that takes no rename or removal,
    // or an output mounted on its own.
    bool in_place = exists && (old.links > 1 || !can_rename_over(pending, old));

    // Replaced: the object goes into a new file beside the output, which
    // takes the output's place only when it is whole.  Until the new file
    // has the old one's owner and permissions, it is the user's alone.
    if (!in_place) {
        std::error_code error = create_beside(pending, exists);
        if (!error && exists && (error = keep_attributes(pending)))
            remove_fresh(pending);
        // In place after all: a folder that allows no new file, or an
        // owner or attribute that a new file cannot be given.  Any other
        // failure (no descriptor left, a full disk) refuses the run before
        // the output is touched.
        if (error && exists && refuses_replacement(error))
            in_place = true;
        else if (error)
            return refuse(opening_failed, name, error);
    }

    std::error_code error;
    if (in_place && (error = lock(pending.old)))
        return refuse(opening_failed, name, error);
    out = stream_over(in_place ? pending.old : pending.fresh, pending.stream, error);
    if (!out)
        return refuse(opening_failed, name, error);
    std::setvbuf(out, output_buffer, _IOFBF, sizeof output_buffer);
    // Nothing is cut until everything the writing needs is there.
    if (in_place) {
        error = cut_to_zero(pending.old);
        hold_signals();
        pending.cut = true;
        release_signals();
        if (error) {
            static_cast<void>(std::fclose(out));
            out = nullptr;
            return refuse(opening_failed, name, error);
        }
    }
    return 0;
}

std::error_code finish_output(std::FILE* out)
{
    std::error_code error;
    if (std::fclose(out) != 0)
        error = stream_error();
    pending.stream = no_handle;
    // Written whole in place: nothing to undo any more.
    if (!error && pending.fresh == no_handle) {
        hold_signals();
        pending.cut = false;
        release_signals();
    }
    if (!error && pending.fresh != no_handle)
        error = place_new_file();
    settle(static_cast<bool>(error));
    return error;
}

void discard_output(std::FILE* out)
{
    // The bytes still in the stream's buffer may reach the file as it
    // closes; the file is cut or removed after that.
    if (out)
        static_cast<void>(std::fclose(out));
    pending.stream = no_handle;
    settle(true);
}

}  // namespace korrin
