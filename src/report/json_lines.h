// The JSON Lines format: one object per line.
#pragma once

#include "report/line_record.h"

// Writes line as one JSON object and a newline.
void print_json_line(const line_record &line);
