// Signal numbers and the short names that exit lines show.
#include <array>
#include <csignal>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// Names for every signal number, real-time ones as RTMIN+n and RTMAX-n,
// counted from the C library's SIGRTMIN as the shell's kill -l does.
std::array<std::string, NSIG> make_names()
{
    std::array<std::string, NSIG> names;
    const int rtmin = SIGRTMIN;
    const int rtmax = SIGRTMAX;
    const int middle = (rtmin + rtmax) / 2;
    for (int sig = 0; sig < NSIG; sig++) {
        const char *abbrev = sig > 0 ? sigabbrev_np(sig) : nullptr;
        if (sig == 0)
            names[sig] = "Signal 0";
        else if (abbrev)
            names[sig] = abbrev;
        else if (sig == rtmin)
            names[sig] = "RTMIN";
        else if (sig == rtmax)
            names[sig] = "RTMAX";
        else if (sig < rtmin)
            names[sig] = "RTMIN-" + std::to_string(rtmin - sig);
        else if (sig <= middle)
            names[sig] = "RTMIN+" + std::to_string(sig - rtmin);
        else
            names[sig] = "RTMAX-" + std::to_string(rtmax - sig);
    }
    return names;
}

const std::array<std::string, NSIG> names = make_names();

std::array<const char *, NSIG> make_pointers()
{
    std::array<const char *, NSIG> p;
    for (int i = 0; i < NSIG; i++)
        p[i] = names[i].c_str();
    return p;
}

const std::array<const char *, NSIG> pointers = make_pointers();

} // namespace

namespace os {

const int SIGNO_CHLD = SIGCHLD;
const int SIGNO_INT = SIGINT;
const char *const *const sys_signame = pointers.data();
const int sys_nsig = NSIG;

} // namespace os
