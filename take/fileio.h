// The file toolkit: whole writes, one sync rule for files and directories,
// temporary files that never outlive a failure and one way to put them in
// place. Every call goes through the storage seam (common/storage.h). A
// failure comes back as a value that names what failed, the call, the file
// and the system's reason; the phase that met it prints it once ("error
// writing 00000.raw: No space left on device", "error renaming
// .target.wav.part to target.wav: Input/output error").
#pragma once

#include "common/failure.h"
#include "common/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/types.h>

// Opens `name` (in this directory, or a path) with `flags` (and `mode` where it creates
// it), never through a link and without blocking (a FIFO of that name cannot
// hold the run up), and takes its status into `st`: the caller sees what
// kind of file it is. Invalid, errno set, when it cannot be opened or
// looked at.
unique_fd open_here(const char* name, int flags, struct stat& st, mode_t mode = 0666);

// Writes all of `bytes`, however many calls that takes: at the offset `at`
// when it is given, else at the current position. `written`, when given,
// learns how many bytes went in, failure or not.
failure write_all(int fd, std::span<const uint8_t> bytes, const char* file, int64_t at = -1,
                  std::size_t* written = nullptr);

// Syncs the file's data. Special files with nothing to sync (devices, pipes:
// EINVAL) count as synced; a regular file's EINVAL is a failure.
failure sync_file(int fd, const char* file);

// Syncs the directory `file` is in (the current one for a bare name), so
// that the names created or renamed in it last; failures name `file`.
failure sync_directory(const char* file);

// Removes `name` where it is a file or a link (never a directory, a FIFO or
// a device); whether it was removed.
bool remove_if_file(const char* name);

// The names of the files in the directory of `prefix` (a path's start, as
// "../takes/a-recovered-2026") that begin with its last part, in name order,
// each with that directory.
std::vector<std::string> files_starting(const std::string& prefix);

// Removes `name`; one that is not there counts as removed.
failure remove_file(const char* name);

// The whole of a small file that cannot be read at an offset (one of /proc),
// read through the seam; empty when it cannot be read.
std::string small_file_text(const std::string& name);

// Claims `name` before anything is renamed to it: created empty, and only
// where nothing has that name (O_EXCL, which every file system can do); an
// empty regular file of that name counts as this run's own claim, made
// before a crash. Refused (name_taken_meanwhile) where another file has it.
failure claim_name(const std::string& name);

// Size in bytes of the file open as `fd`, or -1 (errno set) when it has none.
int64_t fsize(int fd);

// Closes the descriptor, checking the result.
failure close_file(unique_fd& fd, const char* file);

// A file put in place whole, never seen half written by a reader, a crash
// or a full disk.
struct new_file {
    const char* name = nullptr;      // what it is called once whole
    const char* temp_name = nullptr; // what it is called while written: this
                                     // machine's and process's, or a name in
                                     // the directory this run holds
    fault not_created = fault::writing; // said when the temporary cannot be made
                                        // (writing names the temporary, target_open `name`)
    std::function<failure()> ready = {}; // asked before the rename (when given):
                                         // a failure leaves `name` as it was
};

// Fills the new file open as `fd`; failures name the file it becomes.
using file_filler = std::function<failure(int fd)>;

// Creates the temporary afresh (create_temp_file), fills it, syncs it,
// closes it, renames it over the name and syncs the directory, so that the
// name lasts with what it holds. The temporary never outlives a failure;
// `renamed` (when given) learns whether the name now holds the new file
// (the directory's sync may still have failed).
failure install_new(const new_file& file, const file_filler& fill, bool* renamed = nullptr);

// Removes the temporary file being written, if any: for a process that quits
// at once (from any thread; only unlink is called).
void remove_temp_file_now();
