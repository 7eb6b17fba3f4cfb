// The system journal through libsystemd: its native protocol keeps every
// field's bytes and sends an entry too large for one datagram in a sealed
// memory file, so that no entry is cut.
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"

namespace {

// Where journald takes native entries.
constexpr char JOURNAL_SOCKET[] = "/run/systemd/journal/socket";

} // namespace

namespace os {

int journal_open()
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return errno;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, JOURNAL_SOCKET, sizeof JOURNAL_SOCKET);
    int e = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? 0 : errno;
    close(fd);
    return e;
}

int journal_send(const journal_field *fields, int n)
{
    std::vector<iovec> iov(static_cast<size_t>(n));
    for (int i = 0; i < n; i++)
        iov[static_cast<size_t>(i)] = {const_cast<char *>(fields[i].data), fields[i].size};
    int r = sd_journal_sendv(iov.data(), n);
    return r < 0 ? -r : 0;
}

int journal_diagnostics()
{
    int fd = sd_journal_stream_fd("forklog", LOG_WARNING, 0);
    if (fd < 0)
        return -fd;
    int e = dup2(fd, STDERR_FILENO) == -1 ? errno : 0;
    close(fd);
    return e;
}

} // namespace os
