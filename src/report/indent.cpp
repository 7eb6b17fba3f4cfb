// Indentation shared by the exec, re-exec and exit lines.
#include "report/indent.h"

#include <cstdio>

#include "report/report_settings.h"

void print_indent(int depth)
{
    if (!report_settings.flat)
        fprintf(report_settings.output, "%*s", depth * 2, "");
}
