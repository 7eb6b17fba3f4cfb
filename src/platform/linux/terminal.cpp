// Whether the output goes to a terminal, which acts on control bytes.
#include <unistd.h>

#include "platform/platform.h"

namespace os {

bool stream_is_terminal(FILE *stream) {
    int fd = fileno(stream);
    return fd != -1 && isatty(fd);
}

} // namespace os
