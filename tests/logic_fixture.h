// A test fixture for the logic: a fresh fake kernel and run state per test,
// with the output stream captured in memory.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "fake_platform.h"
#include "report/exec_report.h"
#include "run/settings.h"

// What err and warn lines begin with: the name the tests were started under,
// which each C library keeps under its own name.
inline std::string started_as(const std::string &rest)
{
#ifdef __FreeBSD__
    const char *name = getprogname();
#else
    const char *name = program_invocation_short_name;
#endif
    return std::string(name) + ": " + rest;
}

class logic_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        out = open_memstream(&buf, &len);
        fflush(out);
        run_settings.output = out;
        run_settings.kd = os::kvm_openfiles(nullptr, nullptr, nullptr, os::OPEN_READONLY, nullptr);
    }

    void TearDown() override
    {
        run_settings.output = stdout;
        fclose(out);
        free(buf);
        buf = nullptr;
        len = 0;
    }

    // A fresh start within one test.
    void restart()
    {
        TearDown();
        SetUp();
    }

    // What the logic has flushed so far.
    std::string flushed() const { return std::string(buf, len); }

    // Everything written so far, flushed or not.
    std::string written()
    {
        fflush(out);
        return std::string(buf, len);
    }

    // What report_exec writes for pid; its messages go to `messages`.
    std::string report(int pid)
    {
        size_t before = written().size();
        testing::internal::CaptureStderr();
        report_exec(pid);
        messages = testing::internal::GetCapturedStderr();
        return written().substr(before);
    }

    std::string messages;
    FILE *out = nullptr;
    char *buf = nullptr;
    size_t len = 0;
};
