// The clocks the kernel's times come on, converted to wall-clock time.
#include <ctime>
#include <unistd.h>

#include "platform/linux/clocks.h"

namespace linux_layer {

namespace {

int64_t read_ns(clockid_t id)
{
    struct timespec ts;
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Wall time minus another clock, taken once: the clocks run together.
int64_t offset_from(clockid_t id)
{
    int64_t before = read_ns(CLOCK_REALTIME);
    int64_t other = read_ns(id);
    int64_t after = read_ns(CLOCK_REALTIME);
    return before + (after - before) / 2 - other;
}

} // namespace

int64_t monotonic_ns()
{
    return read_ns(CLOCK_MONOTONIC);
}

os::timeval timeval_from_us(int64_t us)
{
    return os::timeval{us / 1000000, us % 1000000};
}

int64_t us_from_timeval(const os::timeval &tv)
{
    return tv.tv_sec * 1000000 + tv.tv_usec;
}

int64_t wall_us_from_monotonic_ns(int64_t ns)
{
    static const int64_t offset = offset_from(CLOCK_MONOTONIC);
    return (ns + offset) / 1000;
}

int64_t wall_us_from_start_ticks(unsigned long long ticks)
{
    // Start times in /proc count clock ticks since boot, suspended time included.
    static const int64_t offset = offset_from(CLOCK_BOOTTIME);
    static const long hz = sysconf(_SC_CLK_TCK);
    int64_t ns = static_cast<int64_t>(ticks) * (1000000000 / hz);
    return (ns + offset) / 1000;
}

} // namespace linux_layer
