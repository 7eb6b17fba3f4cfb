// Where the build has no system journal: the journal output says so.
#include <cerrno>

#include "platform/platform.h"

namespace os {

int journal_open()
{
    return ENOSYS;
}

int journal_send(const journal_field *, int)
{
    return ENOSYS;
}

int journal_diagnostics()
{
    return ENOSYS;
}

} // namespace os
