// Naming every signal number.
#include <array>
#include <csignal>
#include <cstring>
#include <string>

#include "platform/linux/signal_names.h"

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

} // namespace

const char *const *linux_layer::signal_names()
{
    static const std::array<std::string, NSIG> names = make_names();
    static const std::array<const char *, NSIG> pointers = [] {
        std::array<const char *, NSIG> p;
        for (int i = 0; i < NSIG; i++)
            p[i] = names[i].c_str();
        return p;
    }();
    return pointers.data();
}
