// The directory a recording goes into: one recording in it at a time, and
// the checks that it can take the recording, both settled before the device
// is opened.
#pragma once

#include "common/failure.h"
#include "common/unique_fd.h"
#include "take/names.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// The current directory's path, for messages ("." when it cannot be had).
std::string current_directory();

// Locks the current directory itself for the whole run (`lock` holds it), so
// that one recording at a time runs there however 00000.raw is removed or
// renamed meanwhile. A second run is refused here, before it changes any
// file: "00000.raw: this directory is in use by another floatrec
// (process N)".
failure lock_directory(unique_fd& lock);

// The current directory takes new files: else directory_unwritable (or
// recover_unwritable, `recovering`), saying why (read-only, or not this
// user's to write).
failure check_directory_writable(bool recovering = false);

// The place a named output (-o) goes: its directory is there and takes new
// files, and the name is free or a file the take may replace, not one of the
// working files. Checked before anything is touched; target.wav passes.
failure check_output_place(const take_output& output);

// What named this working directory in the temporary files an earlier
// version wrote beside a named output: its device and inode.
std::string working_directory_tag();

// The output for an -o name (empty: target.wav), tagged with this run.
take_output recording_output(std::string_view path);

// The directory is writable, and none of the output files is a directory or
// a FIFO, nor a dump that cannot be written, nor a file with a hard link
// elsewhere that writing it would change: otherwise what is refused and why.
// `raw_fd`: 00000.raw when there is one (refused when open read-only), -1.
failure check_outputs(int raw_fd, const take_output& output);

// The temporary names (target.wav's, the note's, a recovered take's) are
// free or hold a file or a link the run may replace: not a directory, a
// FIFO or a device, which nothing may open. Checked before anything is.
failure check_temporaries();

// Seconds of recording at `rate` samples a second (frames times channels)
// that `free_bytes` of disk hold, twice over
// (00000.raw and target.wav each hold the whole take) beside the two dumps of
// `dump_bytes` each.
uint64_t seconds_that_fit(uint64_t free_bytes, uint64_t rate, uint64_t dump_bytes);

// The bytes free on the disk of `directory`, where the space of the
// 00000.raw open as `raw_fd` (-1: none; on that disk), which the take
// empties, counts as free; UINT64_MAX when the disk cannot tell.
uint64_t free_bytes_in(const char* directory, int raw_fd);

// Whether the output is on the working directory's disk (where that cannot
// be told, it is taken to be).
bool output_on_this_disk(const take_output& output);

// The process holding a flock on the file with this device and inode, as
// /proc/locks (given as `locks`) lists it; -1 when it is not there.
pid_t lock_holder(std::string_view locks, unsigned dev_major, unsigned dev_minor, uint64_t inode);

// Every process holding a flock on a file with this inode, whatever its
// device (btrfs lists a subvolume's files under the file system's device).
std::vector<pid_t> lock_holders_of_inode(std::string_view locks, uint64_t inode);
