// Standard descriptors and the signals that must not end a recording.
#include "app/process_setup.h"
#include "common/storage.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

void guard_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (storage().fcntl(fd, F_GETFD, 0) < 0 && errno == EBADF) {
            // open() takes the lowest free descriptor: this one.
            const int null_fd = storage().open("/dev/null", O_RDWR, 0);
            if (null_fd >= 0 && null_fd != fd) {
                storage().close(null_fd);
            }
        }
    }
}

void ignore_pipe_and_size_signals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}
