// The steps a recovery takes, whole takes' and those in parts of captured
// time alike.
#pragma once

#include "take/names.h"
#include "take/note.h"
#include "take/recovery.h"

#include <cstdint>
#include <string>
#include <vector>

// Whether a file of that name exists: only ENOENT says it is free; any
// other error (a disk error, no permission) is said as itself.
enum class name_use { free, taken, unknown };
name_use name_taken(const std::string& name);

// The take is in its saved files `names` (`size` bytes of samples): the
// note says so from now on, or goes where it cannot be rewritten (an unlink
// needs no room). Either way no later start saves it again.
recovery finish_recovery(take_note note, std::vector<std::string> names, uint64_t size);

// Whether the directory of a named output is no longer there (a card taken
// out, a share unmounted); any other trouble with it is said when saving.
bool output_directory_gone(const take_output& output);

// A take in parts of captured time (--split-every): the part the note says
// is being saved completed, then each unfinished one saved once (under its
// part name where that is free, else a recovered name), beside the output
// or here where its directory is gone. The parts saved before are never
// touched.
recovery recover_time_parts(const raw_file& raw, take_note note);
