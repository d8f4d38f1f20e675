// The last socket error on POSIX systems: errno.
#include <errno.h>
#include <string.h>

#include "socket.h"

namespace simplatform {

bool retryLater()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

bool passingDatagramError()
{
    return errno == EINTR || errno == ECONNREFUSED || errno == ECONNRESET;
}

std::string lastSocketError()
{
    return strerror(errno);
}

}  // namespace simplatform
