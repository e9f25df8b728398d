#include "output/console.h"

#include <cstdarg>
#include <cstdio>

void say_out(const char* format, ...)
{
    // The stream's own error indicator remembers a failure for good.
    if (std::ferror(stdout) != 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}
