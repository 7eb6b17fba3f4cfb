/* The storm's target: sleeps USEC microseconds, or exits at once.
 * Usage: target TAG INDEX USEC */
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    long usec = argc > 3 ? atol(argv[3]) : 0;
    if (usec > 0)
        usleep((useconds_t)usec);
    return 0;
}
