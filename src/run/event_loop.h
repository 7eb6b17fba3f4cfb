// The event loop: the tool's one loop, from the end of start-up to the end.
#pragma once

// Most notes taken from the queue per wait.
constexpr int EVENT_BATCH = 4;

// Hands each note to its report until the run ends.
void event_loop();

// Reaps every ended child; the command's end ends the run.
void reap_children();
