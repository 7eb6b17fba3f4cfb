// Command-line scanning with the C library's getopt, which on this system
// stops at the first word that is not an option and never reorders argv.
#include <unistd.h>

#include "platform/platform.h"

namespace os {

int getopt(int argc, char *const argv[], const char *optstring)
{
    return ::getopt(argc, argv, optstring);
}

const char *getopt_optarg()
{
    return optarg;
}

int getopt_optind()
{
    return optind;
}

} // namespace os
