// The dumps of the last period: "buffer.dat" as captured (in the device's
// own format), "raw_my.dat" its samples decoded to signed 32-bit integers of
// the same full scale. Each is 16 bytes a frame and channel.
#pragma once

#include "common/failure.h"
#include "pipeline/period.h"

// Writes the working copy, raw, to "buffer.dat".
failure dump_buffer(const period_bufs& bufs);

// Decodes the working copy once more and writes it to "raw_my.dat": its
// first 4 x F x channels samples.
failure dump_array(period_bufs& bufs);
