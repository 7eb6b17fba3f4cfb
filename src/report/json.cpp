// JSON strings and times for the JSON Lines mode.
#include "report/json.h"

#include <cstdio>
#include <ctime>

#include "report/utf8.h"
#include "report/report_settings.h"

void print_json_string(const char *bytes)
{
    FILE *out = report_settings.output;
    putc('"', out);
    for (const auto *p = reinterpret_cast<const unsigned char *>(bytes); *p;) {
        int n = utf8_length(p);
        if (n == 0) {
            fprintf(out, "\\udc%02x", *p++);
            continue;
        }
        unsigned code = utf8_code(p, n);
        if (code == '"' || code == '\\') {
            putc('\\', out);
            putc(*p++, out);
        } else if (code == '\n') {
            fputs("\\n", out);
            p++;
        } else if (code == '\t') {
            fputs("\\t", out);
            p++;
        } else if (code < 0x20 || (code >= 0x7f && code <= 0x9f) || format_character(code)) {
            fprintf(out, "\\u%04x", code);
            p += n;
        } else {
            fwrite(p, 1, static_cast<size_t>(n), out);
            p += n;
        }
    }
    putc('"', out);
}

void print_json_time(os::timeval tv)
{
    time_t seconds = static_cast<time_t>(tv.tv_sec);
    struct tm utc;
    char text[32];
    if (!gmtime_r(&seconds, &utc) || !strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc)) {
        fputs("null", report_settings.output);
        return;
    }
    fprintf(report_settings.output, "\"%s.%06ldZ\"", text, static_cast<long>(tv.tv_usec));
}

void print_json_key(const char *name)
{
    fprintf(report_settings.output, ",\"%s\":", name);
}
