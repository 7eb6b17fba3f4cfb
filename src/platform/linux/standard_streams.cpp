// The standard descriptors and whether the output goes to a terminal.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/layer.h"
#include "platform/platform.h"

namespace {
bool opened[3]; // by the tool, on the null device
} // namespace

void linux_layer::close_opened_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++)
        if (opened[fd])
            close(fd);
}

namespace os {

void open_standard_descriptors()
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
        opened[fd] = null != -1;
    }
}

bool stream_is_terminal(FILE *stream)
{
    int fd = fileno(stream);
    return fd != -1 && isatty(fd);
}

} // namespace os
