// A /proc tree of fixture files in a temporary folder, for the layer's
// readers: each process a folder with the files the layer reads.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class proc_tree {
public:
    proc_tree()
    {
        char tmpl[] = "/tmp/forklog-proc-XXXXXX";
        root_ = mkdtemp(tmpl);
    }
    ~proc_tree() { std::system(("rm -rf '" + root_ + "'").c_str()); }
    proc_tree(const proc_tree &) = delete;
    proc_tree &operator=(const proc_tree &) = delete;

    const char *root() const { return root_.c_str(); }

    // A process: its stat line (fields the layer reads, the rest zero) and
    // status; tgid differs from pid for a thread.
    void add(int pid, int ppid, char state = 'S', int threads = 1,
             unsigned long long start_ticks = 100, int tgid = 0)
    {
        std::string dir = root_ + "/" + std::to_string(pid);
        mkdir(dir.c_str(), 0755);
        write(pid, "stat",
              std::to_string(pid) + " (name) " + state + " " + std::to_string(ppid) +
                  " 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 20 0 " + std::to_string(threads) + " 0 " +
                  std::to_string(start_ticks) + " 0 0\n");
        write(pid, "status",
              "Name:\tname\nUmask:\t0022\nState:\tS\nTgid:\t" + std::to_string(tgid ? tgid : pid) +
                  "\nPid:\t" + std::to_string(pid) + "\n");
    }

    void write(int pid, const std::string &name, const std::string &bytes)
    {
        std::ofstream(root_ + "/" + std::to_string(pid) + "/" + name, std::ios::binary) << bytes;
    }

    void link(int pid, const std::string &name, const std::string &target)
    {
        std::string path = root_ + "/" + std::to_string(pid) + "/" + name;
        unlink(path.c_str());
        if (symlink(target.c_str(), path.c_str()) != 0)
            std::abort();
    }

    void remove(int pid)
    {
        std::system(("rm -rf '" + root_ + "/" + std::to_string(pid) + "'").c_str());
    }

private:
    std::string root_;
};
