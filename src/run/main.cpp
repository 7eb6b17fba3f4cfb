// forklog: writes a line for every program a watched process starts.
#include "run/forklog.h"

int main(int argc, char *argv[])
{
    return forklog_main(argc, argv);
}
