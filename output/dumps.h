// The dumps of the last period: "buffer.dat" as captured, "raw_my.dat" decoded.
#pragma once

#include "common/failure.h"
#include "pipeline/period.h"

// Writes the working copy, raw, to "buffer.dat".
failure dump_buffer(const period_bufs& bufs);

// Decodes the working copy once more and writes it to "raw_my.dat".
failure dump_array(period_bufs& bufs);
