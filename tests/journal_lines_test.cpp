// The journal output: one entry per line, its message as the chosen printer
// writes the line, every field with its bytes as read, and a journal that
// cannot be reached or goes away ending the run.
#include <algorithm>

#include "run_fixture.h"

namespace {

class journal_lines_test : public run_test {
protected:
    // A whole run with -J (the fixture's runs write to a file).
    int run_journal(std::vector<std::string> words)
    {
        words.insert(words.begin(), "-J");
        testing::internal::CaptureStderr();
        int status = run_words(std::move(words));
        messages = testing::internal::GetCapturedStderr();
        return status;
    }

    // The values of field name in entry, in order.
    static std::vector<std::string> values(const std::vector<std::string> &entry,
                                           const std::string &name)
    {
        std::vector<std::string> found;
        for (const std::string &f : entry)
            if (f.compare(0, name.size() + 1, name + "=") == 0)
                found.push_back(f.substr(name.size() + 1));
        return found;
    }
    static std::string value(const std::vector<std::string> &entry, const std::string &name)
    {
        std::vector<std::string> found = values(entry, name);
        EXPECT_EQ(found.size(), 1u) << name;
        return found.empty() ? "" : found[0];
    }
};

using strings = std::vector<std::string>;

TEST_F(journal_lines_test, an_exec_is_one_entry_with_every_field_byte_for_byte)
{
    // Words a terminal would act on and bytes that are not UTF-8, a newline
    // and a word longer than any datagram: the fields keep them as they are.
    const std::string odd = "a\x1b[31mb\xff\xfe\nc";
    const std::string large(300000, 'w');
    fake::process &cmd = fake::add(4242, 1, {"cc", odd, large, "it's"});
    cmd.uid = 1000;
    cmd.cwd = "/src/\x01dir";
    cmd.exe = "/usr/bin/cc";
    cmd.env = {"PATH=/bin", "ODD=" + odd, "NOEQ"};
    cmd.exec_time = {1700000000, 123456};
    fake::k.users[1000] = "builder";
    batch({fake::proc_note(4242, os::NOTE_EXEC), fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run_journal({"-udle", "cc"}), 0);
    EXPECT_EQ(messages, "");
    ASSERT_EQ(fake::k.journal.size(), 1u);
    const strings &e = fake::k.journal[0];
    EXPECT_EQ(value(e, "PRIORITY"), "6");
    EXPECT_EQ(value(e, "SYSLOG_IDENTIFIER"), "forklog");
    EXPECT_EQ(value(e, "FORKLOG_EVENT"), "exec");
    EXPECT_EQ(value(e, "FORKLOG_PID"), "4242");
    EXPECT_EQ(value(e, "FORKLOG_PPID"), "1");
    EXPECT_EQ(value(e, "FORKLOG_DEPTH"), "0");
    EXPECT_EQ(value(e, "FORKLOG_EXEC_TIME"), "1700000000123456");
    EXPECT_EQ(values(e, "FORKLOG_ARGV"), (strings{"cc", odd, large, "it's"}));
    EXPECT_EQ(value(e, "FORKLOG_ARGV_NUL"),
              "cc" + std::string(1, '\0') + odd + '\0' + large + '\0' + "it's")
        << "the words in order, whatever the journal does with repeated fields";
    EXPECT_EQ(value(e, "FORKLOG_UID"), "1000");
    EXPECT_EQ(value(e, "FORKLOG_USER"), "builder");
    EXPECT_EQ(value(e, "FORKLOG_CWD"), "/src/\x01dir");
    EXPECT_EQ(value(e, "FORKLOG_EXE"), "/usr/bin/cc");
    EXPECT_EQ(values(e, "FORKLOG_ENV"), (strings{"PATH=/bin", "ODD=" + odd, "NOEQ"}));
    EXPECT_EQ(value(e, "FORKLOG_ENV_NUL"),
              "PATH=/bin" + std::string(1, '\0') + "ODD=" + odd + '\0' + "NOEQ");
    // The message is the text line, quoted as text mode quotes it.
    std::string message = value(e, "MESSAGE");
    EXPECT_EQ(message.rfind("4242 <builder> '/src/", 0), 0u) << message.substr(0, 80);
    EXPECT_NE(message.find(" 'it'\\''s' PATH=/bin ODD="), std::string::npos)
        << message.substr(message.size() - 80);
    EXPECT_EQ(message.find('\n'), std::string::npos) << "one entry, one line";
}

// The journal drops an entry of more than 1024 fields whole: a long list
// is only its _NUL field.
TEST_F(journal_lines_test, a_list_of_more_than_400_values_is_one_field_joined_by_nul_bytes)
{
    std::vector<std::string> argv = {"ld"};
    for (int i = 1; i <= 400; i++)
        argv.push_back("o" + std::to_string(i));
    fake::process &p = fake::add(4242, 1, argv);
    std::vector<std::string> env(400, "A=");
    env[399] = "LAST=\nline";
    p.env = env;
    batch({fake::proc_note(4242, os::NOTE_EXEC), fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run_journal({"-e", "ld"}), 0);
    ASSERT_EQ(fake::k.journal.size(), 1u);
    const strings &e = fake::k.journal[0];
    EXPECT_TRUE(values(e, "FORKLOG_ARGV").empty());
    std::string joined = value(e, "FORKLOG_ARGV_NUL");
    EXPECT_EQ(std::count(joined.begin(), joined.end(), '\0'), 400);
    EXPECT_EQ(joined.substr(0, 6), std::string("ld\0o1\0", 6));
    EXPECT_EQ(joined.substr(joined.size() - 5), std::string("\0o400", 5));
    EXPECT_EQ(values(e, "FORKLOG_ENV_NUL").size(), 1u);
    std::vector<std::string> got_env = values(e, "FORKLOG_ENV");
    ASSERT_EQ(got_env.size(), 400u);
    EXPECT_EQ(got_env[399], "LAST=\nline");
}

TEST_F(journal_lines_test, the_message_follows_the_format_and_q_keeps_the_first_word_alone)
{
    fake::add(4242, 1, {"make", "-j4"});
    batch({fake::proc_note(4242, os::NOTE_EXEC), fake::signal_note(os::SIGNO_INT)});
    EXPECT_EQ(run_journal({"-jq", "make"}), 0);
    ASSERT_EQ(fake::k.journal.size(), 1u);
    std::string message = value(fake::k.journal[0], "MESSAGE");
    EXPECT_EQ(message.rfind("{\"event\":\"exec\"", 0), 0u) << message;
    EXPECT_NE(message.find("\"argv\":[\"make\"]}"), std::string::npos) << message;
    EXPECT_EQ(values(fake::k.journal[0], "FORKLOG_ARGV"), strings{"make"});
    EXPECT_EQ(value(fake::k.journal[0], "FORKLOG_ARGV_NUL"), "make");
    EXPECT_TRUE(values(fake::k.journal[0], "FORKLOG_UID").empty()) << "only what the options ask";
}

TEST_F(journal_lines_test, re_exec_and_exit_entries_say_how_long_and_how_it_ended)
{
    fake::process &cmd = fake::add(4242, 1, {"sh"});
    cmd.start = {100, 0};
    fake::k.clock = {100, 0};
    batch({fake::proc_note(4242, os::NOTE_EXEC)});
    fake::k.before_wait = [&] {
        if (fake::k.batches.size() == 1) {
            cmd.argv = {"cc"};
            fake::k.clock = {101, 500000};
        }
    };
    batch({fake::proc_note(4242, os::NOTE_EXEC), fake::signal_note(os::SIGNO_CHLD)});
    fake::k.ended_children = {{4242, 0x86}};
    EXPECT_EQ(run_journal({"-t", "sh"}), 128 + 6);
    ASSERT_EQ(fake::k.journal.size(), 4u);
    const strings &execed = fake::k.journal[1];
    EXPECT_EQ(value(execed, "FORKLOG_EVENT"), "execed");
    EXPECT_EQ(value(execed, "FORKLOG_CMD"), "sh");
    EXPECT_EQ(value(execed, "FORKLOG_TIME_S"), "1.500");
    EXPECT_EQ(value(execed, "MESSAGE"), "4242- sh execed time=1.500s");
    const strings &exit = fake::k.journal[3];
    EXPECT_EQ(value(exit, "FORKLOG_EVENT"), "exit");
    EXPECT_EQ(value(exit, "FORKLOG_SIGNAL"), "ABRT");
    EXPECT_TRUE(values(exit, "FORKLOG_STATUS").empty());
    EXPECT_EQ(value(exit, "MESSAGE"), "4242- cc exited signal=ABRT time=0.000s");
}

TEST_F(journal_lines_test, a_journal_out_of_reach_or_gone_ends_the_run_with_status_1)
{
    fake::k.journal_open_errno = ENOENT;
    EXPECT_EQ(run_journal({"true"}), 1);
    EXPECT_EQ(messages, "forklog: cannot reach the system journal: No such file or directory; "
                        "is systemd-journald running?\n");
    EXPECT_EQ(fake::k.batches.size(), 0u);

    restart();
    fake::k.journal_open_errno = ENOSYS;
    EXPECT_EQ(run_journal({"true"}), 1);
    EXPECT_NE(messages.find("built without the system journal"), std::string::npos) << messages;

    restart();
    fake::add(4242, 1, {"sh"});
    fake::add(4243, 4242, {"cc"});
    fake::add(4244, 4242, {"ld"});
    fake::k.journal_sends_until_failure = 1;
    fake::k.journal_send_errno = ECONNREFUSED;
    batch({fake::proc_note(4242, os::NOTE_EXEC), fake::proc_note(4243, os::NOTE_EXEC),
           fake::proc_note(4244, os::NOTE_EXEC)});
    EXPECT_EQ(run_journal({"sh"}), 1);
    EXPECT_EQ(fake::k.journal.size(), 1u);
    EXPECT_EQ(messages, "forklog: cannot write to the system journal: Connection refused\n")
        << "said once";
}

TEST_F(journal_lines_test, the_control_group_and_the_unit_it_names_are_fields_of_their_own)
{
    const std::pair<const char *, const char *> cases[] = {
        {"/system.slice/nginx.service", "nginx.service"},
        {"/user.slice/user-1000.slice/session-3.scope", "session-3.scope"},
        {"/machine.slice/systemd-nspawn@box.service/payload/system.slice/cron.service",
         "cron.service"},
        {"/user.slice/user-1000.slice/user@1000.service/app.slice/app-term.scope",
         "app-term.scope"},
        {"/init.scope", "init.scope"},
        {"/system.slice/nginx.service/worker", "nginx.service"},
        {"/", nullptr},
        {"/docker/0123abcd", nullptr},
        {"/.service", nullptr},
    };
    for (const auto &[cgroup, unit] : cases) {
        restart();
        fake::add(4242, 1, {"sh"}).cgroup = cgroup;
        batch({fake::proc_note(4242, os::NOTE_EXEC), fake::signal_note(os::SIGNO_INT)});
        EXPECT_EQ(run_journal({"sh"}), 0);
        EXPECT_EQ(fake::k.will_ask_cgroup, 1);
        ASSERT_EQ(fake::k.journal.size(), 1u);
        const strings &e = fake::k.journal[0];
        EXPECT_EQ(values(e, "FORKLOG_CGROUP"), strings{cgroup});
        EXPECT_EQ(values(e, "FORKLOG_UNIT"), unit ? strings{unit} : strings{}) << cgroup;
        EXPECT_EQ(value(e, "MESSAGE"), "4242 sh") << "the text as without -c";
    }
}

} // namespace
