// A stdio stream whose writes go to a writer thread's backlog.
#include "platform/posix/background_stream.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/output_writer.h"

namespace posix_layer {

namespace {

// Never freed: at the end its thread may still wait on an output that is
// not read.
output_writer *writer = nullptr;

ssize_t write_to_backlog(void *cookie, const char *data, size_t size)
{
    return static_cast<output_writer *>(cookie)->take(data, size);
}

} // namespace

FILE *background_stream(FILE *stream, std::function<bool()> interrupted)
{
    if (fflush(stream) != 0)
        return nullptr;
    writer = new output_writer(fileno(stream), std::move(interrupted));
    cookie_io_functions_t io = {};
    io.write = write_to_backlog;
    return fopencookie(writer, "w", io);
}

long finish_background_stream(FILE *stream, bool give_up)
{
    if (give_up)
        writer->give_up();
    if (fflush(stream) != 0)
        return -1;
    std::optional<std::chrono::milliseconds> limit;
    if (give_up)
        limit = INTERRUPTED_DRAIN;
    if (!writer->drain(limit) && writer->failure() != 0) {
        errno = writer->failure();
        return -1;
    }
    return writer->unwritten_lines();
}

} // namespace posix_layer

namespace os {

int reopen_output(FILE *stream, const char *path)
{
    // What the stream holds goes to the old file.
    if (fflush(stream) != 0)
        return -1;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1)
        return -1;
    posix_layer::writer->switch_to(fd);
    return 0;
}

} // namespace os
