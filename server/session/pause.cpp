#include "server/session/pause.h"

#include <cerrno>
#include <ctime>

bool pauseFor(int milliseconds, QString &error)
{
    struct timespec left;
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = long(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&left, &left) != 0) {
        if (errno != EINTR) {
            error = qt_error_string(errno);
            return false;
        }
    }
    return true;
}
