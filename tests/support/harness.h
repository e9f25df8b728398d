// Runs the real floatrec binary in a scratch directory, with "default"
// pointed at a test capture device through a private HOME/.asoundrc: the
// sandbox, the devices, the sound servers, the disks, the runner, the waits
// and the files, each in a header of its own.
#pragma once

#include "support/devices.h"
#include "support/disks.h"
#include "support/files.h"
#include "support/runner.h"
#include "support/samples.h"
#include "support/sandbox.h"
#include "support/sound_servers.h"
#include "support/takes.h"
#include "support/waits.h"
