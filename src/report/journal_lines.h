// The journal output: each line as one entry of the system journal, its
// text (or JSON object) as the message and every field of it as a journal
// field of its own, so that a shipper indexes them without parsing.
#pragma once

#include "report/line_record.h"

// Checks that the journal takes entries; false, after a message, when it
// does not.
bool start_journal_output();

// From now on the tool's own messages go to the journal too, at warning
// priority, unless the standard error is a terminal, where a person reads
// them. Called once the command has started, which keeps its own.
void journal_takes_diagnostics();

// Sends line as one entry. A journal that has gone ends the run, as any
// output failure does.
void send_journal_line(const line_record &line);
