// The timeline as trace events, which trace viewers and build-timeline
// tools read: complete events ("ph":"X") with microsecond times.
#include <unordered_map>

#include "report/json.h"
#include "report/report_settings.h"
#include "report/timeline.h"
#include "report/timeline_writers.h"

namespace {

const char *end_name(image_end end)
{
    switch (end) {
    case image_end::running:
        return "running";
    case image_end::execed:
        return "execed";
    case image_end::exited:
        return "exited";
    case image_end::killed:
        return "killed";
    }
    return "running";
}

} // namespace

void write_trace_events(FILE *out, int64_t now_us)
{
    const std::vector<timeline_row> &rows = timeline_rows();
    std::vector<int> order = timeline_order();
    timeline_summary summary = timeline_summarize(now_us);
    FILE *saved = report_settings.output;
    report_settings.output = out;
    fputs("{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n"
          "{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"args\":{\"name\":\"forklog\"}}",
          out);
    // One track per process: an image that replaced another keeps its track.
    std::vector<int> replaced(rows.size(), -1); // the image each one replaced
    std::unordered_map<int, int> latest;
    for (size_t i = 0; i < rows.size(); i++) {
        auto before = latest.find(rows[i].pid);
        if (before != latest.end() &&
            rows[static_cast<size_t>(before->second)].end == image_end::execed)
            replaced[i] = before->second;
        latest[rows[i].pid] = static_cast<int>(i);
    }
    std::vector<int> track_of(rows.size(), 0);
    int tracks = 0;
    for (int i : order) {
        const timeline_row &r = rows[static_cast<size_t>(i)];
        int before = replaced[static_cast<size_t>(i)];
        int track = before >= 0 ? track_of[static_cast<size_t>(before)] : 0;
        if (track == 0) {
            track = ++tracks;
            fprintf(out,
                    ",\n{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":%d,\"args\":{"
                    "\"name\":",
                    track);
            print_json_string((std::string(static_cast<size_t>(timeline_depth(i)) * 2, ' ') +
                               std::to_string(r.pid) + " " + r.command)
                                  .c_str());
            fprintf(out,
                    "}},\n{\"name\":\"thread_sort_index\",\"ph\":\"M\",\"pid\":1,\"tid\":%d,"
                    "\"args\":{\"sort_index\":%d}}",
                    track, track);
        }
        track_of[static_cast<size_t>(i)] = track;
        int64_t end = r.end == image_end::running ? now_us : r.end_us;
        fputs(",\n{\"name\":", out);
        print_json_string(r.command.c_str());
        fprintf(out, ",\"cat\":\"exec\",\"ph\":\"X\",\"ts\":%lld,\"dur\":%lld,\"pid\":1,\"tid\":%d",
                static_cast<long long>(r.start_us - summary.start_us),
                static_cast<long long>(end - r.start_us), track);
        fprintf(out, ",\"args\":{\"pid\":%d,\"ppid\":%d,\"argv\":[", r.pid, r.ppid);
        for (size_t w = 0; w < r.argv.size(); w++) {
            if (w)
                putc(',', out);
            print_json_string(r.argv[w].c_str());
        }
        putc(']', out);
        print_json_key("user");
        print_json_string(r.user.c_str());
        print_json_key("cwd");
        print_json_string(r.cwd.c_str());
        print_json_key("end");
        print_json_string(end_name(r.end));
        if (r.end == image_end::exited)
            fprintf(out, ",\"status\":%d", r.status);
        else if (r.end == image_end::killed)
            fprintf(out, ",\"signal\":%d", r.status);
        fputs("}}", out);
    }
    fputs("\n]}\n", out);
    report_settings.output = saved;
}
