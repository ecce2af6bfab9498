// nanosleep with the remainder carried over interruptions.
#include "platform/sleep.h"

#include <cerrno>
#include <ctime>

void Sleep_Milliseconds(int milliseconds) {
    if (milliseconds <= 0)
        return;
    struct timespec wait = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}
