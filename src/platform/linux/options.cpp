// Command-line scanning with the C library's getopt, kept in argument order.
#include <string>
#include <unistd.h>

#include "platform/platform.h"

namespace os {

int getopt(int argc, char *const argv[], const char *optstring)
{
    // A leading "+" stops the scan at the first word that is not an option
    // instead of moving the command's words around.
    static std::string in_order;
    in_order = std::string("+") + optstring;
    return ::getopt(argc, argv, in_order.c_str());
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
