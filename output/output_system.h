// The primitives the output's policy (output.cpp) is built from, written
// once for POSIX systems (output_posix.cpp) and once for Windows
// (output_windows.cpp) under the same names.  Each does one thing to one
// file and decides nothing: which of them a run calls, and when, is the
// policy's.

#ifndef KORRIN_OUTPUT_OUTPUT_SYSTEM_H
#define KORRIN_OUTPUT_OUTPUT_SYSTEM_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace korrin {

// A descriptor on POSIX systems, a HANDLE on Windows.
using handle = std::intptr_t;
inline constexpr handle no_handle = -1;

// What a run's output is, and what a cleanup must undo.  The policy keeps
// one for the run; it changes only while signals are held, so a signal
// handler always finds it whole.
struct Output {
    std::filesystem::path folder_name;  // the output's folder (Windows: its full long name)
    handle folder = no_handle;          // the folder, opened once (POSIX)
    std::filesystem::path name;         // the output's own name in the folder
    handle old = no_handle;             // the output that was there, opened as a writer opens it
    bool cut = false;                   // old is being written in place
    bool placed = false;                // the whole object is in the output's place
    handle fresh = no_handle;           // the run's new file beside the output
    std::filesystem::path fresh_name;   // its name in the folder
    handle stream = no_handle;          // what the output stream writes through
    unsigned long owner = 0;            // the process that made them
    const char* program = "";           // names the new file, so that one left behind tells its maker
};

// What identifies a file, and what the policy asks of it.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::uint64_t links = 0;
    std::uint64_t size = 0;
    bool regular = false;
    bool special = false;  // a character or block device
    // The terminal device behind the file, whatever name opened it (/dev/tty
    // is the terminal of the session); 0 when it is no terminal.
    std::uint64_t terminal = 0;
};

// Installs the cleanup of `pending` on every signal that would end the
// process (on Windows, the console's Ctrl-C, Ctrl-Break and close), and
// keeps the pointer for the handler.
void guard_signals(Output& pending);

// Holds the signals that clean up, or lets them through again; between the
// two, `pending` may change.  Held, a signal waits; on Windows the console
// handler waits.
void hold_signals();
void release_signals();

// The process that is running, so that a child never undoes its parent's
// files.
unsigned long this_process();

// Removes the new file and cuts a file written in place to zero, through
// the run's own handles and names only.  Safe in a signal handler.
void undo(const Output& pending);

// Opens an existing `output` for writing as a plain writer would open it,
// without creating it, so that the system's own protections decide (its
// permissions, protected links and files in shared folders, ACLs); the
// open never waits, on a FIFO say.  Leaves `old` empty, and returns no
// error, when there is no such file.
std::error_code open_existing(const std::filesystem::path& output, handle& old);

// The identity of an open file, of standard output, or false.
bool identify(handle file, Identity& identity);
bool identify_console(Identity& identity);
handle handle_of(std::FILE* stream);

// Finds the output's folder and opens it, filling folder, folder_name and
// name.  A new output's folder is the one its name gives, and the name is
// never followed: whatever stands under it, a link among them, is not the
// output's to replace.  An existing output that is a symbolic link is
// replaced at the end of it, in the folder of the file that was opened, as
// the system names it; where the system cannot name it, `name` stays
// empty and the output is written in place.  An existing output (`old`)
// must be the file found in the folder by that name.
std::error_code find_folder(const std::filesystem::path& output, Output& pending);

// Whether a new file could take the output's place by a rename: not in
// a folder that takes new files but allows no rename or removal
// (append-only), nor over an `old` output mounted on its own (a bind
// mount).  `old` is null for a new output.
bool can_rename_over(const Output& pending, const Identity* old);

// Creates the output itself under its own name, exclusively, as `old`,
// for a folder where no new file could take that name later.
std::error_code create_output(Output& pending);

// Creates a new file beside the output, exclusively, under a name made
// from the output's and the program's, and records it in `pending` in the
// same step.  `keep_private` creates it readable by its owner alone.
std::error_code create_beside(Output& pending, bool keep_private);

// Whether an error making or placing the new file means that the folder or
// the output allows no replacement, where writing in place may still work.
bool refuses_replacement(std::error_code error);

// Gives the new file everything of the old output but its content: owner,
// group, permission bits, extended attributes and the ACL among them.
std::error_code keep_attributes(const Output& pending);

// Makes the new file's content durable before it replaces an old output.
std::error_code sync(handle file);

// Renames the new file over the output, closing what must be closed first.
// Without an old output, the new file takes the name only while it is
// still free: a file or link put there meanwhile is not replaced.
std::error_code put_in_place(Output& pending);

// Writes all `size` bytes at `file`'s position, whatever a write takes.
std::error_code write_all(handle file, const char* bytes, std::size_t size);

// Copies the finished new file into the old output, already cut to zero,
// from its start.
std::error_code copy_into_old(Output& pending);

// Removes the new file and forgets it.
void remove_fresh(Output& pending);

// Waits until no other run writes `file` in place, and keeps it so.
std::error_code lock(handle file);

std::error_code cut_to_zero(handle file);

// A binary stream that writes through a handle of its own on `file`.
std::FILE* stream_over(handle file, handle& stream, std::error_code& error);

void close_handle(handle& file);

// A name for a new file beside one named `name`: "<name>.<program>-" and
// six random letters.  A long name is shortened so that the result still
// fits in a folder (255 characters on the common file systems).
std::filesystem::path new_file_name(const std::filesystem::path& name, const char* program);

}  // namespace korrin

#endif  // KORRIN_OUTPUT_OUTPUT_SYSTEM_H
