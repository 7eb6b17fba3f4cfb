// Messages from the layer, each one line that names the tool.
#include "platform/posix/message.h"

#include <cstdarg>
#include <cstdio>

namespace posix_layer {

void message(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "forklog: %s\n", text);
}

} // namespace posix_layer
