// The run's timeline (-T FILE): every process image of the run, from its
// exec to the next exec or its end, kept while the run goes on and written
// when it ends, as a page to look at or as trace events for a trace viewer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/line_record.h"

enum class image_end {
    running, // still running when the run ended
    execed,  // replaced by its process's next exec
    exited,  // status holds the exit status
    killed,  // status holds the signal
};

struct timeline_row {
    int pid = 0;
    int ppid = 0;
    int parent = -1; // the row of the process that created it, or -1
    int64_t start_us = 0;
    int64_t end_us = 0; // when not running
    image_end end = image_end::running;
    int status = 0;
    std::string command;           // as the exec line shows it
    std::vector<std::string> argv; // as the process has them
    std::string line;              // the words, shell-quoted, escapes for controls
    std::string user;              // name or uid; empty when unknown
    std::string cwd;               // empty when unknown
};

// Where the rows stand when the timeline is written.
struct timeline_summary {
    size_t programs = 0;
    int64_t start_us = 0;
    int64_t end_us = 0;
    int most_at_once = 0;
    std::vector<int> failed;  // rows that ended with a status other than 0 or a signal
    std::vector<int> longest; // the ten that ran longest, longest first
};

// Records an exec line's process image; its process's image before it ends.
void timeline_exec(const line_record &line);
// Records the end of pid's image.
void timeline_end(int pid, int status);

// The rows recorded, in the order of their execs.
const std::vector<timeline_row> &timeline_rows();
// The rows depth first: each under the row that created it, in exec order.
std::vector<int> timeline_order();
// How many rows row is below a row with no creator in the run.
int timeline_depth(int row);
// The summary at now_us, when images still running end.
timeline_summary timeline_summarize(int64_t now_us);

// Writes the timeline to the -T file: trace events when its name ends in
// ".json", else the page. A failure is said and ends the run with status 1.
void write_timeline();

// Forgets every row (for tests).
void timeline_reset();
