// The clocks the kernel's times come on, converted to wall-clock time.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace linux_layer {

int64_t monotonic_ns();
os::timeval timeval_from_us(int64_t us);
int64_t us_from_timeval(const os::timeval &tv);
int64_t wall_us_from_monotonic_ns(int64_t ns);
// /proc's start times count clock ticks since boot.
int64_t wall_us_from_start_ticks(unsigned long long ticks);

} // namespace linux_layer
