// Indentation shared by the exec, re-exec and exit lines.
#include "report/indent.h"

#include <cstdio>

#include "run/settings.h"

void print_indent(int depth)
{
    if (!run_settings.flat)
        fprintf(run_settings.output, "%*s", depth * 2, "");
}
