// Parsing the command line into the run settings.
#include "run/options.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "run/settings.h"

void usage()
{
    static const char text[] =
        "Usage: forklog [-cdefjlqtux] [-o FILE | -J] [-T FILE] [-p PID|CMD...]\n";
    fputs(text, stderr);
    exit(1);
}

namespace {

// A process id written as a whole decimal number from 1 to the largest pid;
// anything else is bad use.
int process_id(const char *text)
{
    long long value = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; p++) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX)
            usage();
    }
    if (p == text || *p != '\0' || value < 1)
        usage();
    return static_cast<int>(value);
}

} // namespace

int parse_options(int argc, char *argv[])
{
    run_settings.output = stdout;
    int ch;
    while ((ch = os::getopt(argc, argv, "cdefjJlo:p:qtT:wux")) != -1) {
        switch (ch) {
        case 'c':
            run_settings.show_cgroup = true;
            break;
        case 'd':
            run_settings.show_cwd = true;
            break;
        case 'e':
            run_settings.show_env = true;
            break;
        case 'f':
            run_settings.flat = true;
            break;
        case 'j':
            run_settings.json = true;
            break;
        case 'J':
            run_settings.journal = true;
            break;
        case 'l':
            run_settings.full_path = true;
            break;
        case 'o':
            // Opened at once, so a run that ends in usage() has still
            // created or emptied every file named; close-on-exec, so the
            // command does not inherit it.
            run_settings.output_name = run_settings.output_path = os::getopt_optarg();
            run_settings.output = fopen(run_settings.output_name, "we");
            if (!run_settings.output) {
                perror("fopen");
                exit(1);
            }
            break;
        case 'p':
            run_settings.root_pid = process_id(os::getopt_optarg());
            break;
        case 'q':
            run_settings.quiet = true;
            break;
        case 't':
            run_settings.timing = true;
            break;
        case 'T':
            // Opened at once, as -o's file is.
            run_settings.timeline_path = os::getopt_optarg();
            run_settings.timeline = fopen(run_settings.timeline_path, "we");
            if (!run_settings.timeline) {
                perror("fopen");
                exit(1);
            }
            break;
        case 'u':
            run_settings.show_user = true;
            break;
        case 'x':
            run_settings.every_end = true;
            break;
        case 'w':
            break;
        default:
            usage();
        }
    }
    // One output: the journal, or a stream.
    if (run_settings.journal && run_settings.output_path)
        usage();
    // Lines written to nowhere would be a run that seems to succeed.
    if (!run_settings.journal && run_settings.output == stdout &&
        os::standard_output_was_closed()) {
        fputs("forklog: standard output is closed\n", stderr);
        exit(1);
    }
    run_settings.terminal = os::stream_is_terminal(run_settings.output);
    int first = os::getopt_optind();
    if (run_settings.root_pid != 1 && first != argc)
        usage();
    return first;
}
