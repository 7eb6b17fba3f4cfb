// The journal's native entry format, for entries with more fields than
// libsystemd can send: plain fields as they are, a value with a newline
// with its size before it, so that every byte arrives.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "platform/linux/journal_entry.h"

namespace {

using linux_layer::journal_entry_bytes;

std::string entry(const std::vector<std::string> &fields)
{
    std::vector<os::journal_field> f;
    for (const std::string &s : fields)
        f.push_back({s.data(), s.size()});
    return journal_entry_bytes(f.data(), static_cast<int>(f.size()));
}

TEST(journal_entry, fields_are_lines_and_a_value_with_a_newline_carries_its_size)
{
    using namespace std::string_literals;
    EXPECT_EQ(entry({"MESSAGE=a b", "FORKLOG_ARGV=\xff\x1b", "FORKLOG_ARGV="}),
              "MESSAGE=a b\nFORKLOG_ARGV=\xff\x1b\nFORKLOG_ARGV=\n");
    EXPECT_EQ(entry({"FORKLOG_ARGV=x\ny=z", "PRIORITY=6"}),
              "FORKLOG_ARGV\n\x05\0\0\0\0\0\0\0x\ny=z\nPRIORITY=6\n"s);
    std::string large(70000, '\n');
    std::string got = entry({"FORKLOG_ENV=" + large});
    EXPECT_EQ(got.substr(0, 13), "FORKLOG_ENV\n\x70"s);
    EXPECT_EQ(got.substr(13, 7), "\x11\x01\0\0\0\0\0"s) << "70000 = 0x11170, little-endian";
    EXPECT_EQ(got.size(), 12 + 8 + large.size() + 1);
}

} // namespace
