// Whole runs of the tool on the fake kernel, lines written to a file.
#pragma once

#include <fstream>
#include <sstream>
#include <unistd.h>

#include "logic_fixture.h"
#include "run/forklog.h"

class run_test : public logic_test {
protected:
    void SetUp() override
    {
        logic_test::SetUp();
        char tmpl[] = "/tmp/forklog-run-XXXXXX";
        int fd = mkstemp(tmpl);
        close(fd);
        path = tmpl;
        fake::add(1, 0, {"init"});
    }

    void TearDown() override
    {
        unlink(path.c_str());
        logic_test::TearDown();
    }

    // Runs forklog with words; its status as main would return it.
    int run(std::vector<std::string> words)
    {
        testing::internal::CaptureStderr();
        int status = run_uncaptured(std::move(words));
        messages = testing::internal::GetCapturedStderr();
        fflush(run_settings.output);
        return status;
    }

    // The same, standard error left alone (for runs that end the process).
    int run_uncaptured(std::vector<std::string> words)
    {
        words.insert(words.begin(), {"-o", path});
        return run_words(std::move(words));
    }

    // forklog with exactly these words, standard error left alone.
    int run_words(std::vector<std::string> words)
    {
        words.insert(words.begin(), "forklog");
        storage = words;
        argv.clear();
        for (std::string &w : storage)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        return forklog_main(static_cast<int>(storage.size()), argv.data());
    }

    // What has reached the output file so far.
    std::string lines() const
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    void batch(std::vector<struct os::kevent> notes)
    {
        fake::k.batches.push_back(std::move(notes));
    }

    std::string path;
    std::string messages;
    std::vector<std::string> storage;
    std::vector<char *> argv;
};
