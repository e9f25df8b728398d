// The dumps of the last period: "buffer.dat" as captured, "raw_my.dat" decoded.
#pragma once

#include "pipeline/period.h"

// Decodes the working copy once more and writes it raw to "buffer.dat" and
// decoded to "raw_my.dat". False, after saying why, when either failed.
bool dump_period(period_bufs& bufs);
