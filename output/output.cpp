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
//                          the output was written whole (`placed`):
//                          nothing to undo, and a signal ends the run as
//                          the success it is.
//
// A device, a FIFO or a terminal is written as it is; nothing of it is
// kept in `pending`, and no cleanup touches it.

#include "output.h"

#include "output_system.h"

#include <cerrno>
#include <cstdlib>
#include <new>

namespace korrin {

namespace fs = std::filesystem;

namespace {

Output pending;

// The output stream's buffer, set before anything is written, so that no
// write can fail for want of memory after the output has been cut.  It
// gathers the object's head and a small object; larger blocks go past it.
char output_buffer[1 << 12];

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

// Whether writing `old` would run the report through the object: it is
// standard output under another name (/dev/stdout, a file redirected to),
// or the terminal or console that shows it (/dev/tty, CON).  A device that
// is no terminal (/dev/null) keeps neither.
bool shows_transcript(const Identity& old)
{
    Identity console;
    return identify_console(console) &&
           ((same_file(old, console) && (!old.special || old.terminal != 0)) ||
            (old.terminal != 0 && old.terminal == console.terminal));
}

// The output is being written in place from now (`cut`), or no longer;
// a signal handler sees one or the other, never a change half made.
void mark_cut(bool cut)
{
    hold_signals();
    pending.cut = cut;
    release_signals();
}

// Takes the old output for writing in place: waits until no other run
// writes it, cuts it to zero and marks it so, for a cleanup to cut again.
std::error_code lock_and_cut()
{
    if (const std::error_code error = lock(pending.old))
        return error;
    const std::error_code error = cut_to_zero(pending.old);
    mark_cut(true);
    return error;
}

// Ends the run's hold on its output: after a failure it undoes what the
// state calls for, then closes everything the run opened.
void settle(bool failed)
{
    if (failed && pending.cut)
        static_cast<void>(cut_to_zero(pending.old));
    mark_cut(false);
    if (pending.fresh != no_handle)
        remove_fresh(pending);
    close_handle(pending.old);
    close_handle(pending.folder);
}

refusal refuse(refusal why, std::error_code& cause, std::error_code error = {})
{
    settle(true);
    cause = error;
    return why;
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
        !(error = lock_and_cut())) {
        hold_signals();
        error = copy_into_old(pending);
        pending.placed = !error;
        pending.cut = !!error;
        release_signals();
    }
    return error;
}

}  // namespace

std::error_code stream_error(int code)
{
    return {code, std::generic_category()};
}

void guard_output(const char* program)
{
    pending.owner = this_process();
    pending.program = program;
    guard_signals(pending);
    std::set_new_handler(out_of_memory);
}

refusal open_output(const fs::path& output, std::FILE* in, std::FILE*& out, std::error_code& cause, bool only_new)
{
    out = nullptr;
    cause = {};
    handle old_file = no_handle;
    if (only_new) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(output, error);
        if (status.type() != fs::file_type::not_found)
            return error ? refuse(refusal::unopenable, cause, error) : refuse(refusal::exists, cause);
    } else if (const std::error_code error = open_existing(output, old_file)) {
        return refuse(refusal::unopenable, cause, error);
    }
    pending.old = old_file;
    const bool exists = old_file != no_handle;

    Identity old;
    Identity input;
    if (exists && !identify(old_file, old))
        return refuse(refusal::unopenable, cause);
    // Refused: the output is the input, under whatever name.  Writing it
    // would destroy the input before a byte of it is read.
    if (exists && identify(handle_of(in), input) && same_file(old, input))
        return refuse(refusal::is_input, cause);
    if (exists && shows_transcript(old))
        return refuse(refusal::is_console, cause);

    // In place, as it is: a device, a FIFO or a terminal has no content to
    // replace, and is never cut.
    if (exists && !old.regular) {
        std::error_code error;
        handle unused = no_handle;
        out = stream_over(old_file, unused, error);
        settle(false);
        return out ? refusal::none : refuse(refusal::unopenable, cause, error);
    }

    if (const std::error_code error = find_folder(output, pending))
        return refuse(refusal::unopenable, cause, error);

    // In place, because replacing the output would change more than its
    // content, or cannot be done: a file with several hard links (each name
    // must keep seeing one file); a link whose file the system cannot name;
    // a folder that takes no rename or removal, or an output mounted on its
    // own.
    bool in_place = exists && (old.links > 1 || pending.name.empty() || !can_rename_over(pending, &old));

    // A new output in a folder that takes no rename or removal is made
    // under its own name, exclusively: a new file beside it could never
    // take that name, nor ever be removed.
    if (!exists && !can_rename_over(pending, nullptr)) {
        if (const std::error_code error = create_output(pending))
            return refuse(refusal::unopenable, cause, error);
        in_place = true;
    }

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
            return refuse(refusal::unopenable, cause, error);
    }

    std::error_code error;
    out = stream_over(in_place ? pending.old : pending.fresh, pending.stream, error);
    if (!out)
        return refuse(refusal::unopenable, cause, error);
    std::setvbuf(out, output_buffer, _IOFBF, sizeof output_buffer);
    // Nothing is cut until everything the writing needs is there.
    if (in_place && (error = lock_and_cut())) {
        static_cast<void>(std::fclose(out));
        out = nullptr;
        return refuse(refusal::unopenable, cause, error);
    }
    return refusal::none;
}

std::error_code finish_output(std::FILE* out, std::uintmax_t size)
{
    // Some C libraries' fclose reports success although its last flush
    // failed, when the stream has a buffer of its own: the flush and the
    // stream's error flag are asked first.  A file that does not hold the
    // whole object, whatever the library said, never takes the output's
    // place.
    std::error_code error;
    Identity written;
    if (std::fflush(out) != 0 || std::ferror(out))
        error = stream_error();
    else if (identify(pending.stream, written) && written.regular && written.size != size)
        error = std::make_error_code(std::errc::io_error);
    // Written in place, the object is whole once its stream has closed: a
    // signal from then on ends the run as the success it is.
    const bool in_place = pending.fresh == no_handle;
    if (in_place)
        hold_signals();
    if (std::fclose(out) != 0 && !error)
        error = stream_error();
    pending.stream = no_handle;
    if (in_place) {
        pending.placed = !error;
        pending.cut = pending.cut && error;
        release_signals();
    } else if (!error) {
        error = place_new_file();
    }
    settle(static_cast<bool>(error));
    return error;
}

std::error_code write_block(std::FILE* out, const void* bytes, std::size_t size)
{
    if (size < sizeof output_buffer)
        return std::fwrite(bytes, 1, size, out) == size ? std::error_code() : stream_error();
    if (std::fflush(out) != 0)
        return stream_error();
    return write_all(handle_of(out), static_cast<const char*>(bytes), size);
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
