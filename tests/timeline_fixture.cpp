// Writes the timeline page of a large synthetic build on the scripted
// kernel, for the page's benchmark: timeline_fixture FILE [PROCESSES].
// make starts a shell per directory, each shell a compiler per file; every
// 97th compile fails; the run lasts a minute.
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "run/event_loop.h"
#include "run/forklog.h"
#include "run/settings.h"

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 2;
    int processes = argc > 2 ? atoi(argv[2]) : 20000;
    fake::reset();
    fake::add(1, 0, {"init"});
    fake::add(4242, 1, {"make", "-j8", "all"}).exec_time = {1000, 0};
    const int per_shell = 99;
    int next = 4243;
    int64_t step_us = 60000000 / (processes + 1);
    int64_t t = 1000000000;
    // Notes in the order they come, each with its time: a compile ends a
    // moment before the next one starts.
    std::vector<std::pair<struct os::kevent, int64_t>> notes;
    notes.push_back({fake::proc_note(4242, os::NOTE_EXEC), t});
    int shell = 0;
    for (int made = 1; made < processes; shell++) {
        int sh = next++;
        t += step_us;
        std::string dir = "src/part" + std::to_string(shell);
        fake::add(sh, 4242, {"/bin/sh", "-c", "cd " + dir + " && make"}).exec_time = {t / 1000000,
                                                                                      t % 1000000};
        notes.push_back({fake::proc_note(sh, os::NOTE_EXEC), t});
        made++;
        for (int f = 0; f < per_shell && made < processes; f++, made++) {
            int cc = next++;
            t += step_us;
            std::string file = dir + "/file" + std::to_string(f) + ".c";
            fake::add(cc, sh,
                      {"cc", "-O2", "-g", "-Wall", "-I", "include", "-c", file, "-o", file + ".o"})
                .exec_time = {t / 1000000, t % 1000000};
            notes.push_back({fake::proc_note(cc, os::NOTE_EXEC), t});
            notes.push_back(
                {fake::proc_note(cc, os::NOTE_EXIT, cc % 97 == 0 ? 0x100 : 0), t + step_us - 1});
        }
        notes.push_back({fake::proc_note(sh, os::NOTE_EXIT, 0), t + 1});
    }
    std::deque<int64_t> times;
    for (const auto &[note, at] : notes) {
        if (fake::k.batches.empty() || fake::k.batches.back().size() == EVENT_BATCH) {
            fake::k.batches.push_back({});
            times.push_back(at);
        }
        fake::k.batches.back().push_back(note);
        times.back() = at;
    }
    fake::k.batches.push_back({fake::signal_note(os::SIGNO_CHLD)});
    times.push_back(t + step_us);
    fake::k.ended_children = {{4242, 0}};
    fake::k.before_wait = [&times] {
        if (times.empty())
            return;
        fake::k.clock = {times.front() / 1000000, times.front() % 1000000};
        times.pop_front();
    };
    std::vector<std::string> words = {"forklog", "-o", "/dev/null", "-T", argv[1], "make"};
    std::vector<char *> args;
    for (std::string &w : words)
        args.push_back(w.data());
    args.push_back(nullptr);
    return forklog_main(static_cast<int>(words.size()), args.data());
}
