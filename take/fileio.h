// The file toolkit: whole writes, one sync rule for files and directories,
// temporary files that never outlive a failure and one way to put them in
// place. Every call goes through the storage seam (take/storage.h). A
// failure comes back as a value that names what failed, the call, the file
// and the system's reason; the phase that met it prints it once ("error
// writing 00000.raw: No space left on device", "error renaming
// .target.wav.part to target.wav: Input/output error").
#pragma once

#include "common/failure.h"
#include "common/unique_fd.h"

#include <cstddef>
#include <cstdint>
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

// Syncs the file's data. Special files with nothing to sync (devices, pipes)
// count as synced.
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

// Size in bytes of the file open as `fd`, or -1 (errno set) when it has none.
int64_t fsize(int fd);

// Closes the descriptor, checking the result.
failure close_file(unique_fd& fd, const char* file);

// A file written under a temporary name: removed when its owner goes, unless
// it was renamed into place (kept) first, and by remove_temp_file_now should
// the process have to quit at once meanwhile. The name must outlive the owner.
struct temp_file {
    const char* name = nullptr;
    const char* outer = nullptr; // the one being written around this one, if any

    explicit temp_file(const char* temp_name);
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
    ~temp_file();
    // It has a name of its own now: nothing to remove.
    void kept();
};

// Creates the temporary file afresh, for writing: whatever an interrupted
// run left under its name goes first (the directory is this run's: it holds
// the lock), and a name that is not a file (a FIFO) can neither block nor be
// used. Invalid, errno set, when it cannot be created.
unique_fd create_temp_file(const temp_file& temp);

// Puts the written and synced temporary file in place as `name`: renamed
// over it, then the directory synced, so that the name lasts with what it
// holds. From the rename on the temporary is no longer removed.
failure install(temp_file& temp, const char* name);

// Removes the temporary file being written, if any: for a process that quits
// at once (from any thread; only unlink is called).
void remove_temp_file_now();
