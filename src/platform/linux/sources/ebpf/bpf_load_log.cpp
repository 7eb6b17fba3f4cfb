// Reading libbpf's messages of a failed load.
#include "platform/linux/sources/ebpf/bpf_load_log.h"

#include <cerrno>
#include <sstream>
#include <vector>

namespace linux_layer {

namespace {

bool starts_with(const std::string &s, const char *prefix)
{
    return s.rfind(prefix, 0) == 0;
}

std::string trimmed(const std::string &s)
{
    size_t first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A program's name in "libbpf: prog 'NAME': ...".
std::string program_named(const std::string &line)
{
    size_t at = line.find("prog '");
    if (at == std::string::npos)
        return "";
    at += 6;
    size_t end = line.find('\'', at);
    return end == std::string::npos ? "" : line.substr(at, end - at);
}

// The verifier's statistics close its log; the reason is the line before.
bool statistics(const std::string &line)
{
    return starts_with(line, "processed ") || starts_with(line, "verification time") ||
           starts_with(line, "stack depth") || starts_with(line, "Validating ") ||
           line.find(" is safe for any args that match its prototype") != std::string::npos;
}

// Bytes a terminal would act on are left out of a line of ours.
std::string printable(const std::string &s)
{
    std::string out;
    for (unsigned char c : s)
        out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    return out;
}

} // namespace

std::string load_failure_reason(const std::string &log, int error, bool *verifier)
{
    *verifier = false;
    bool refused = error == EACCES || error == EINVAL;
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string l; std::getline(in, l);)
        if (!trimmed(l).empty())
            lines.push_back(trimmed(l));
    // The verifier's log sits between libbpf's BEGIN and END lines.
    for (size_t end = lines.size(); refused && end-- > 0;) {
        if (lines[end].find("-- END PROG LOAD LOG --") == std::string::npos)
            continue;
        size_t begin = end;
        while (begin > 0 && lines[begin].find("-- BEGIN PROG LOAD LOG --") == std::string::npos)
            begin--;
        std::string name = program_named(lines[begin]);
        for (size_t i = end; i-- > begin + 1;) {
            if (statistics(lines[i]))
                continue;
            *verifier = true;
            return printable(name.empty() ? lines[i] : name + ": " + lines[i]);
        }
    }
    // No refusal: libbpf's last message of its own but its summary names
    // what failed.
    for (size_t i = lines.size(); i-- > 0;) {
        if (!starts_with(lines[i], "libbpf: ") ||
            lines[i].find("PROG LOAD LOG") != std::string::npos)
            continue;
        std::string l = lines[i].substr(8);
        if (std::string name = program_named(l); !name.empty())
            l = name + ": " + trimmed(l.substr(l.find("':") + 2));
        if (!l.empty() && !starts_with(l, "failed to load object") &&
            !starts_with(l, "failed to load BPF skeleton"))
            return printable(l);
    }
    return "";
}

} // namespace linux_layer
