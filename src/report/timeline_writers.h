// The two forms of the timeline file, each from the rows in depth-first order.
#pragma once

#include <cstdint>
#include <cstdio>

// Trace Event Format: one complete event per process image, on one track
// per process, the tracks sorted so that each comes under its creator's.
void write_trace_events(FILE *out, int64_t now_us);

// One self-contained HTML page: the summary, then a row per image.
void write_timeline_page(FILE *out, int64_t now_us);
