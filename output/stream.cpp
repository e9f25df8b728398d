// Standard output as the take's stream.
#include "output/stream.h"

#include "common/storage.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

int stream_out(std::span<const uint8_t> bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = storage().write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0 && errno == EAGAIN) {
            pollfd out = {STDOUT_FILENO, POLLOUT, 0}; // (a descriptor left non-blocking: wait for room)
            if (poll(&out, 1, -1) >= 0 || errno == EINTR) {
                continue;
            }
        }
        if (wrote <= 0) {
            return wrote < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return 0;
}
