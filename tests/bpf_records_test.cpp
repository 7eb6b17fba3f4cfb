// The kernel programs' ring records turned into events: execs put back
// together from chunks, losses counted, and never an exec from part of its data.
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform/linux/sources/ebpf/bpf_records.h"
#include "recording_sink.h"

namespace {

using namespace linux_layer;

using record = std::vector<char>;

template <typename T> record bytes_of(const T &value, const std::string &data = "")
{
    record r(sizeof value);
    memcpy(r.data(), &value, sizeof value);
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

// An exec's data: areas, then paths as components from the last to the first.
struct exec_data {
    std::string argv, env, exe, cwd;
    std::string all() const { return argv + env + exe + cwd; }
};

// The exec as the programs send it: a head with the first chunk bytes of
// data, then further records of at most chunk bytes.
std::vector<record> exec_records(unsigned cpu, unsigned long long seq, unsigned tgid,
                                 const exec_data &d, size_t chunk, unsigned flags = EXEC_ENV_SENT)
{
    rec_exec h = {};
    h.type = REC_EXEC;
    h.flags = flags;
    h.tgid = tgid;
    h.ppid = 1;
    h.time_ns = 1000 + seq;
    h.cgroup_id = 0x100000123ull;
    h.argv_len = static_cast<unsigned>(d.argv.size());
    h.env_len = static_cast<unsigned>(d.env.size());
    h.exe_len = static_cast<unsigned>(d.exe.size());
    h.cwd_len = static_cast<unsigned>(d.cwd.size());
    h.chunk = {REC_EXEC, cpu, seq, 0, 0};
    std::string all = d.all();
    std::vector<record> out;
    std::string first = all.substr(0, chunk);
    h.chunk.len = static_cast<unsigned>(first.size());
    out.push_back(bytes_of(h, first));
    for (size_t at = first.size(); at < all.size(); at += chunk) {
        std::string part = all.substr(at, chunk);
        rec_chunk c = {REC_MORE, cpu, seq, static_cast<unsigned>(part.size()), 0};
        out.push_back(bytes_of(c, part));
    }
    return out;
}

const exec_data LS = {std::string("ls\0-l\0", 6), std::string("A=1\0", 4),
                      std::string("ls\0bin\0usr\0", 11), std::string("tmp\0", 4)};

class bpf_records_test : public ::testing::Test {
protected:
    void feed(const std::vector<record> &records)
    {
        for (const record &r : records)
            records_.take(r.data(), r.size(), sink);
    }

    bpf_records records_;
    recording_sink sink;
};

TEST_F(bpf_records_test, an_exec_is_whole_however_it_was_chunked)
{
    for (size_t chunk : {size_t{100}, size_t{7}, size_t{1}}) {
        recording_sink fresh;
        bpf_records r;
        for (const record &rec : exec_records(0, 0, 42, LS, chunk))
            r.take(rec.data(), rec.size(), fresh);
        ASSERT_EQ(fresh.calls, (std::vector<std::string>{"exec 42 @1000 with facts"})) << chunk;
        const exec_facts &f = *fresh.facts[0];
        EXPECT_EQ(std::string(f.argv_bytes.begin(), f.argv_bytes.end()), LS.argv);
        EXPECT_EQ(std::string(f.env_bytes.begin(), f.env_bytes.end()), LS.env);
        EXPECT_TRUE(f.env_ok);
        EXPECT_EQ(f.exe, "/usr/bin/ls");
        EXPECT_EQ(f.cwd, "/tmp");
        EXPECT_EQ(f.record.ki_pid, 42);
        EXPECT_EQ(f.cgroup_id, 0x100000123ull);
    }
}

TEST_F(bpf_records_test, chunks_of_two_cpus_interleave)
{
    auto a = exec_records(0, 0, 42, LS, 5);
    auto b = exec_records(1, 0, 43, LS, 5);
    for (size_t i = 0; i < a.size(); i++)
        feed({a[i], b[i]});
    EXPECT_EQ(sink.calls,
              (std::vector<std::string>{"exec 42 @1000 with facts", "exec 43 @1000 with facts"}));
}

// An exec whose last chunks found no room in the ring goes on without its
// data, so that /proc answers for it; the partial data is never used.
TEST_F(bpf_records_test, an_exec_that_lost_chunks_carries_no_data)
{
    auto a = exec_records(0, 0, 42, LS, 5);
    feed({a[0], a[1]});
    records_.dropped(3, sink);
    feed({a[2]}); // a late chunk of the abandoned exec is passed over
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"lost 3", "exec 42 @1000 without data"}));

    sink.calls.clear();
    auto b = exec_records(0, 1, 43, LS, 5);
    auto c = exec_records(0, 2, 44, LS, 5);
    feed({b[0], c[0]});
    feed(std::vector<record>(c.begin() + 1, c.end()));
    EXPECT_EQ(sink.calls,
              (std::vector<std::string>{"exec 43 @1001 without data", "exec 44 @1002 with facts"}));
}

TEST_F(bpf_records_test, gaps_in_a_cpus_numbering_are_lost_events)
{
    feed(exec_records(0, 5, 42, LS, 100));
    feed(exec_records(1, 0, 43, LS, 100));
    feed(exec_records(0, 8, 44, LS, 100));
    feed(exec_records(1, 1, 45, LS, 100));
    EXPECT_EQ(sink.calls, (std::vector<std::string>{
                              "exec 42 @1005 with facts", "exec 43 @1000 with facts", "lost 2",
                              "exec 44 @1008 with facts", "exec 45 @1001 with facts"}));
}

TEST_F(bpf_records_test, forks_exits_and_malformed_records)
{
    rec_fork f = {REC_FORK, 1, 42, 0, 77};
    rec_exit e = {REC_EXIT, 42, 0x100, 0, 88};
    feed({bytes_of(f), bytes_of(e)});
    record cut = bytes_of(f);
    cut.pop_back();
    record head_only = exec_records(0, 0, 42, LS, 100)[0];
    head_only.resize(sizeof(rec_exec) - 1);
    feed({cut, head_only, record{}, record{9, 0, 0, 0}});
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"fork 1 42 @77", "exit 42 256 @88"}));

    // A head that says more data follows than its record holds waits for it.
    auto a = exec_records(0, 0, 42, LS, 100);
    a[0].resize(sizeof(rec_exec) + 3);
    feed(a);
    EXPECT_EQ(sink.calls.size(), 2u);
}

TEST_F(bpf_records_test, cut_areas_and_untrusted_paths_are_flagged)
{
    feed(exec_records(0, 0, 42, LS, 100, EXEC_ARGV_CUT | EXEC_PATH_CUT | EXEC_EXE_DELETED));
    ASSERT_EQ(sink.facts.size(), 1u);
    const exec_facts &f = *sink.facts[0];
    EXPECT_TRUE(f.argv_cut);
    EXPECT_FALSE(f.env_ok) << "an environment not asked for";
    EXPECT_FALSE(f.exe_ok);
    EXPECT_FALSE(f.cwd_ok);
    exec_data none = {};
    feed(exec_records(0, 1, 43, none, 100, 0));
    EXPECT_FALSE(sink.facts[1]->argv_ok) << "no arguments recorded: /proc answers";
}

} // namespace
