// Recording the timeline's rows as the run goes, and putting them in order.
#include "report/timeline.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "report/captured.h"
#include "report/process_facts.h"
#include "report/report_settings.h"
#include "report/shquote.h"
#include "report/timeline_writers.h"

namespace {

std::vector<timeline_row> rows;
std::unordered_map<int, int> latest; // pid -> its latest row

int64_t us_of(os::timeval tv)
{
    return tv.tv_sec * 1000000 + tv.tv_usec;
}

int64_t now_us()
{
    os::timeval now;
    os::gettimeofday(&now);
    return us_of(now);
}

// The words as a shell reads them back, every byte a terminal would act on
// escaped, so that the page shows what ran and nothing it could hide.
std::string quoted_line(const line_record &line)
{
    return captured(
        [&] {
            print_shquoted_command(line.command);
            for (char *const *arg = line.argv + 1; *arg; arg++) {
                putc(' ', report_settings.output);
                print_shquoted(*arg);
            }
        },
        true);
}

void end_row(timeline_row &row, int64_t at, image_end how, int status)
{
    row.end = how;
    row.end_us = std::max(at, row.start_us);
    row.status = status;
}

} // namespace

void timeline_exec(const line_record &line)
{
    timeline_row row;
    row.pid = line.pid;
    row.ppid = line.kp->ki_ppid;
    row.start_us = us_of(exec_time(line.kp));
    row.command = line.command;
    for (char *const *arg = line.argv; *arg; arg++)
        row.argv.emplace_back(*arg);
    row.line = quoted_line(line);
    // What the line holds already is not asked for again.
    const char *user = line.with_user ? line.user : user_name(line.kp->ki_uid);
    row.user = user ? user : std::to_string(line.kp->ki_uid);
    if (const char *cwd = line.with_cwd ? line.cwd : working_directory(line.pid))
        row.cwd = cwd;
    auto same = latest.find(line.pid);
    if (same != latest.end() && rows[static_cast<size_t>(same->second)].end == image_end::running) {
        // A re-exec: the image before it ends here; the new one keeps its place.
        timeline_row &before = rows[static_cast<size_t>(same->second)];
        end_row(before, row.start_us, image_end::execed, 0);
        row.parent = before.parent;
    } else {
        // Under the image its creator ran when it made the process, or, for
        // an orphan, the creator's latest.
        auto parent = latest.find(row.ppid);
        row.parent = parent == latest.end() ? -1 : parent->second;
    }
    rows.push_back(std::move(row));
    latest[line.pid] = static_cast<int>(rows.size() - 1);
}

void timeline_end(int pid, int status)
{
    auto it = latest.find(pid);
    if (it == latest.end())
        return;
    timeline_row &row = rows[static_cast<size_t>(it->second)];
    if (row.end != image_end::running)
        return;
    if (os::wifsignaled(status))
        end_row(row, now_us(), image_end::killed, os::wtermsig(status));
    else
        end_row(row, now_us(), image_end::exited, os::wexitstatus(status));
}

const std::vector<timeline_row> &timeline_rows()
{
    return rows;
}

std::vector<int> timeline_order()
{
    std::vector<std::vector<int>> children(rows.size());
    std::vector<int> roots;
    for (size_t i = 0; i < rows.size(); i++) {
        int parent = rows[i].parent;
        // A row's parent always came before it.
        if (parent >= 0 && static_cast<size_t>(parent) < i)
            children[static_cast<size_t>(parent)].push_back(static_cast<int>(i));
        else
            roots.push_back(static_cast<int>(i));
    }
    std::vector<int> order;
    order.reserve(rows.size());
    std::vector<int> stack(roots.rbegin(), roots.rend());
    while (!stack.empty()) {
        int at = stack.back();
        stack.pop_back();
        order.push_back(at);
        const std::vector<int> &below = children[static_cast<size_t>(at)];
        stack.insert(stack.end(), below.rbegin(), below.rend());
    }
    return order;
}

int timeline_depth(int row)
{
    int depth = 0;
    for (int at = rows[static_cast<size_t>(row)].parent; at >= 0 && depth <= row;
         at = rows[static_cast<size_t>(at)].parent)
        depth++;
    return depth;
}

timeline_summary timeline_summarize(int64_t now)
{
    timeline_summary s;
    s.programs = rows.size();
    if (rows.empty())
        return s;
    s.start_us = rows[0].start_us;
    s.end_us = now;
    // Images that replaced one another in one process count once at a time.
    std::vector<std::pair<int64_t, int>> changes;
    for (size_t i = 0; i < rows.size(); i++) {
        const timeline_row &r = rows[i];
        s.start_us = std::min(s.start_us, r.start_us);
        int64_t end = r.end == image_end::running ? now : r.end_us;
        changes.push_back({r.start_us, +1});
        changes.push_back({end, -1});
        if ((r.end == image_end::exited && r.status != 0) || r.end == image_end::killed)
            s.failed.push_back(static_cast<int>(i));
    }
    // Ends before starts at one time: a re-exec is not two at once.
    std::sort(changes.begin(), changes.end());
    int running = 0;
    for (const auto &[at, change] : changes) {
        running += change;
        s.most_at_once = std::max(s.most_at_once, running);
    }
    std::vector<int> by_length(rows.size());
    for (size_t i = 0; i < rows.size(); i++)
        by_length[i] = static_cast<int>(i);
    auto length = [&](int i) {
        const timeline_row &r = rows[static_cast<size_t>(i)];
        return (r.end == image_end::running ? now : r.end_us) - r.start_us;
    };
    std::stable_sort(by_length.begin(), by_length.end(),
                     [&](int a, int b) { return length(a) > length(b); });
    by_length.resize(std::min<size_t>(by_length.size(), 10));
    s.longest = by_length;
    return s;
}

void write_timeline()
{
    FILE *out = report_settings.timeline;
    if (!out)
        return;
    const char *path = report_settings.timeline_path;
    size_t n = strlen(path);
    bool trace = n >= 5 && strcmp(path + n - 5, ".json") == 0;
    int64_t now = now_us();
    if (trace)
        write_trace_events(out, now);
    else
        write_timeline_page(out, now);
    if (fflush(out) != 0 || ferror(out)) {
        fprintf(stderr, "forklog: cannot write the timeline to %s: %s\n", path, strerror(errno));
        report_settings.output_failed = true;
    }
}

void timeline_reset()
{
    rows.clear();
    latest.clear();
}
