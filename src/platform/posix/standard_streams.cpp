// Keeping the standard descriptors' numbers taken.
#include "platform/posix/standard_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace posix_layer {

void standard_descriptors::open_missing()
{
    // A descriptor opened later would otherwise take a closed one's number:
    // the event queue would become the output, or a log file the error stream.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null != -1 && null != fd) {
            dup2(null, fd);
            close(null);
        }
        opened_[fd] = null != -1;
    }
}

void standard_descriptors::close_opened() const
{
    for (int fd = 0; fd <= 2; fd++)
        if (opened_[fd])
            close(fd);
}

} // namespace posix_layer
