// The system journal through libsystemd: its native protocol keeps every
// field's bytes and sends an entry too large for one datagram in a sealed
// memory file, so that no entry is cut.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>
#include <vector>

#include "platform/linux/journal_entry.h"
#include "platform/platform.h"

namespace {

// Where journald takes native entries.
constexpr char JOURNAL_SOCKET[] = "/run/systemd/journal/socket";

sockaddr_un journal_address()
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, JOURNAL_SOCKET, sizeof JOURNAL_SOCKET);
    return addr;
}

// As libsystemd sends an entry too large for a datagram: in a memory file
// sealed against change, passed to the journal as a descriptor.
int send_in_memory_file(const std::string &entry)
{
    int file = memfd_create("forklog-journal-entry", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file == -1)
        return errno;
    int e = 0;
    for (size_t done = 0; done < entry.size() && !e;) {
        ssize_t n = write(file, entry.data() + done, entry.size() - done);
        if (n == -1 && errno != EINTR)
            e = errno;
        else if (n > 0)
            done += static_cast<size_t>(n);
    }
    if (!e &&
        fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == -1)
        e = errno;
    int sock = e ? -1 : socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (!e && sock == -1)
        e = errno;
    if (!e) {
        sockaddr_un addr = journal_address();
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message = {};
        message.msg_name = &addr;
        message.msg_namelen = sizeof addr;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(c), &file, sizeof file);
        if (sendmsg(sock, &message, MSG_NOSIGNAL) == -1)
            e = errno;
    }
    if (sock != -1)
        close(sock);
    close(file);
    return e;
}

} // namespace

namespace os {

int journal_open()
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return errno;
    sockaddr_un addr = journal_address();
    int e = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? 0 : errno;
    close(fd);
    return e;
}

int journal_send(const journal_field *fields, int n)
{
    if (n > linux_layer::JOURNAL_SENDV_MAX_FIELDS)
        return send_in_memory_file(linux_layer::journal_entry_bytes(fields, n));
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
