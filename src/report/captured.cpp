// Printing into memory.
#include "report/captured.h"

#include <cstdio>
#include <cstdlib>

#include "report/report_settings.h"

std::string captured(const std::function<void()> &print, bool terminal)
{
    char *bytes = nullptr;
    size_t size = 0;
    FILE *text = open_memstream(&bytes, &size);
    if (!text)
        return "";
    FILE *saved_output = report_settings.output;
    bool saved_terminal = report_settings.terminal;
    report_settings.output = text;
    report_settings.terminal = terminal;
    print();
    report_settings.output = saved_output;
    report_settings.terminal = saved_terminal;
    fclose(text);
    std::string out(bytes, size);
    free(bytes);
    return out;
}
