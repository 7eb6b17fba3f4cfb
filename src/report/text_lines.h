// The text lines: shell-quoted words, indented by generation.
#pragma once

#include "report/line_record.h"

// Writes line as a text line, newline included.
void print_text_line(const line_record &line);
