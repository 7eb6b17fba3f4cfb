// The names exit lines give signals, real-time ones included.
#include <csignal>
#include <gtest/gtest.h>
#include <string>

#include "platform/platform.h"

namespace {

TEST(signal_names_test, every_signal_has_its_short_name)
{
    ASSERT_EQ(os::sys_nsig, NSIG);
    const std::pair<int, std::string> cases[] = {
        {SIGHUP, "HUP"},           {SIGKILL, "KILL"},         {SIGSEGV, "SEGV"},
        {SIGCHLD, "CHLD"},         {SIGSYS, "SYS"},           {SIGRTMIN, "RTMIN"},
        {SIGRTMIN + 1, "RTMIN+1"}, {SIGRTMAX - 1, "RTMAX-1"}, {SIGRTMAX, "RTMAX"},
    };
    for (const auto &[sig, name] : cases)
        EXPECT_EQ(os::sys_signame[sig], name) << sig;
    for (int sig = 1; sig < NSIG; sig++)
        EXPECT_NE(std::string(os::sys_signame[sig]), "") << sig;
}

} // namespace
