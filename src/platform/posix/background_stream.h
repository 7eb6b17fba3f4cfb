// The run's output stream over a writer thread (output_writer): what the file
// does not take at once waits in memory, and the run goes on.
#pragma once

#include <cstdio>
#include <functional>

namespace posix_layer {

// A stream whose writes go to stream's file through a writer thread; null
// with errno when none can be made. interrupted tells whether the tool has
// been interrupted, so that a full backlog stops holding the run up.
FILE *background_stream(FILE *stream, std::function<bool()> interrupted);

// Flushes the stream made by background_stream and waits until its lines
// have reached the file, or for a moment at most with give_up. Returns the
// number of lines that have not, or -1 with errno when a write failed.
long finish_background_stream(FILE *stream, bool give_up);

} // namespace posix_layer
