// The indentation that places a line at its depth in the watched tree.
#pragma once

// Writes two spaces per generation to the output, nothing when lines are flat.
void print_indent(int depth);
