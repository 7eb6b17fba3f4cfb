// An event sink that writes down every call, for tests of the sources'
// record handling.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/linux/event_sink.h"

class recording_sink : public linux_layer::event_sink {
public:
    void on_fork(int parent, int child, int64_t ns) override
    {
        calls.push_back("fork " + std::to_string(parent) + " " + std::to_string(child) + " @" +
                        std::to_string(ns));
    }
    void on_thread(int tgid) override { calls.push_back("thread " + std::to_string(tgid)); }
    void on_exec(int tgid, int64_t ns, std::shared_ptr<linux_layer::exec_facts> f) override
    {
        calls.push_back("exec " + std::to_string(tgid) + " @" + std::to_string(ns) +
                        (f ? (f->argv_ok ? " with facts" : " without data") : ""));
        facts.push_back(std::move(f));
    }
    void on_uid(int tgid, uint32_t euid) override
    {
        calls.push_back("uid " + std::to_string(tgid) + " " + std::to_string(euid));
    }
    void on_exit(int tgid, int status, int64_t ns) override
    {
        calls.push_back("exit " + std::to_string(tgid) + " " + std::to_string(status) + " @" +
                        std::to_string(ns));
    }
    void on_thread_end(int tgid, bool leader, int status, int64_t) override
    {
        calls.push_back(std::string(leader ? "leader end " : "thread end ") + std::to_string(tgid) +
                        " " + std::to_string(status));
    }
    void on_lost(uint64_t count) override { calls.push_back("lost " + std::to_string(count)); }

    std::vector<std::string> calls;
    std::vector<std::shared_ptr<linux_layer::exec_facts>> facts; // of each exec, in order
};
