// The take's marks file (.00000.raw.marks): each gap marked (--mark-gaps)
// as a line, its frame counted in the take's kept frames. A mark goes to
// disk, synced, before the samples after it: a start that saves the take
// after a crash restores every mark of the frames it saves.
#pragma once

#include "common/failure.h"
#include "common/frame_format.h"
#include "common/gap_mark.h"
#include "common/unique_fd.h"

#include <cstdint>
#include <span>
#include <vector>

// A new take's marks: an earlier take's file removed (its marks are never
// this take's), a new one made where this take marks its gaps.
failure marks_begin(unique_fd& fd, bool marking);

// Appends `marks` to the file and syncs it.
failure marks_append(int fd, std::span<const gap_mark> marks);

// The marks a killed take left, of its first `kept_frames` frames (none
// where it marked nothing, or its file cannot be read: the samples are
// saved all the same).
std::vector<gap_mark> marks_read(uint64_t kept_frames);

// The format of a take the note tells of, with the marks of its first
// `kept_frames` frames.
struct take_note;
take_format format_with_marks(const take_note& note, uint64_t kept_frames);
