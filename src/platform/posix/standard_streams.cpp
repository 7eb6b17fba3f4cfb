// Keeping the standard descriptors' numbers taken.
#include "platform/posix/standard_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"

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

standard_descriptors &the_standard_descriptors()
{
    static standard_descriptors instance;
    return instance;
}

} // namespace posix_layer

namespace os {

void open_standard_descriptors()
{
    posix_layer::the_standard_descriptors().open_missing();
}

bool standard_output_was_closed()
{
    return posix_layer::the_standard_descriptors().was_closed(1);
}

} // namespace os
