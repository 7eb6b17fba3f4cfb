// What a printer writes, as bytes in memory: the printers write to the run's
// output, which points at a memory stream while one prints.
#pragma once

#include <functional>
#include <string>

// The bytes print wrote to the run's output; with terminal, as they would
// be written to a terminal (every byte a terminal acts on escaped).
std::string captured(const std::function<void()> &print, bool terminal = false);
