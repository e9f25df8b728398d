// The capture's losses and failures, reported once they are known.
#include "capture/losses.h"


void confirm_failures(unconfirmed_failures& unconfirmed, period_queue& queue)
{
    if (unconfirmed.failure) {
        queue_push(queue, *unconfirmed.failure);
    }
    if (unconfirmed.loss) {
        queue_push(queue, *unconfirmed.loss);
    }
    unconfirmed = {};
}

void report_device_gone(unconfirmed_failures& unconfirmed, period_queue& queue, int error)
{
    if (unconfirmed.loss && unconfirmed.loss->frames > 0) {
        queue_push(queue, audio_lost{0, 0, unconfirmed.loss->frames});
    }
    unconfirmed = {};
    queue_push(queue, device_gone{error});
}

