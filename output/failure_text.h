// The one table of the program's failure messages: every kind of failure
// has its text (a kind without one does not build).
#pragma once

#include "common/failure.h"

#include <string>

// The text of a failure, every line ended: the one table of the program's
// failure messages.
std::string failure_text(const failure& what);
