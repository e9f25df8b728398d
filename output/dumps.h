// The dumps of the last period: "buffer.dat" as captured, "raw_my.dat" decoded.
#pragma once

#include "common/failure.h"
#include "pipeline/period.h"

// Decodes the working copy once more and writes it raw to "buffer.dat" and
// decoded to "raw_my.dat"; when buffer.dat fails, raw_my.dat is not written.
failure dump_period(period_bufs& bufs);
