// The order of a run: the command line, start-up, then the event loop.
#include "run/forklog.h"

#include <cstdio>
#include <err.h>

#include "report/flush.h"
#include "report/journal_lines.h"
#include "report/timeline.h"
#include "run/event_loop.h"
#include "run/options.h"
#include "run/settings.h"
#include "run/startup.h"

int forklog_main(int argc, char *argv[])
{
    os::open_standard_descriptors();
    int first = parse_options(argc, argv);
    if (run_settings.journal) {
        if (!start_journal_output())
            return 1;
    } else {
        // A slow reader of the output must not hold up the reading of events.
        FILE *output = os::background_output(run_settings.output);
        if (!output)
            err(1, "output");
        run_settings.output = output;
    }
    if (start_up(argc, argv, first) != 0)
        return -1;
    if (run_settings.journal)
        journal_takes_diagnostics();
    event_loop();
    write_timeline();
    // What is still buffered (a lone newline waits for the next flush) must
    // reach the output too.
    flush_line();
    finish_output();
    // An output that failed ends the run with its own status.
    return run_settings.output_failed ? 1 : run_settings.exit_status;
}
