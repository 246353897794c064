// Where passwords come from, and where they must never show up.
#include "harness.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

const char *const kPrompt = "Enter password for 'work' keyring: ";

std::string proc_file(pid_t pid, const char *name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    return {std::istreambuf_iterator<char>(file), {}};
}

// A password in memory must not end up in a core file, nor be readable
// by a debugger: not dumpable, the process's files in /proc belong to
// root (which only a run as another user can tell).
bool memory_protected(pid_t pid) {
    struct stat info {};
    if (stat(("/proc/" + std::to_string(pid) + "/environ").c_str(), &info) != 0 || info.st_uid != 0)
        return false;
    std::istringstream limits(proc_file(pid, "limits"));
    for (std::string line; std::getline(limits, line);) {
        std::istringstream fields(line.substr(std::string("Max core file size").size()));
        std::string soft, hard;
        if (line.starts_with("Max core file size") && fields >> soft >> hard)
            return soft == "0" && hard == "0";
    }
    return false;
}

// Typed at the prompt, not entered, by the time a signal comes.
void type_unentered(Terminal &tty, const std::string &text) {
    tty.type(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The line edited with the terminal's keys: kill, erase (a whole letter),
// word erase.
TEST(Prompt, AsksOnTheTerminalWithoutEcho) {
    Terminal tty({"-c", "work"});
    EXPECT_EQ(tty.read_until(kPrompt), kPrompt);
    EXPECT_TRUE(eventually([&] { return !tty.echoes(); }));
    EXPECT_TRUE(memory_protected(tty.pid()));
    tty.type("zz\x15hunX\x7f\xc3\xa9\x7fter2 word\x17\x7f\n");
    auto shown = tty.read_until("keyring.");
    EXPECT_EQ(shown.find("hunter2"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Created 'work' keyring."), std::string::npos) << shown;
    int status = tty.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_TRUE(tty.echoes());

    brassbox({"-l", "work"});
    EXPECT_EQ(brassbox({"-u", "work", "-p", "hunter2"}).status, 1);
}

// Without a controlling terminal (setsid), typed at a terminal all the
// same: not shown either, and shown again whatever ends the wait. A raw
// terminal sends Enter as a carriage return, and is raw again afterwards.
TEST(Prompt, ATerminalOnStandardInputKeepsThePasswordHidden) {
    Terminal tty({"-c", "work"}, {.controlling = false, .raw = true});
    EXPECT_EQ(tty.read_until(kPrompt), kPrompt);
    tty.type("hunter2\r");
    auto shown = tty.read_until("keyring.");
    EXPECT_EQ(shown.find("hunter2"), std::string::npos) << shown;
    int status = tty.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << shown;
    EXPECT_TRUE(tty.raw());

    Terminal ended({"-c", "work2"}, {.controlling = false});
    ended.read_until("'work2' keyring: ");
    ASSERT_TRUE(eventually([&] { return !ended.echoes(); }));
    type_unentered(ended, "hunter2");
    kill(ended.pid(), SIGTERM);
    ended.wait();
    EXPECT_TRUE(ended.echoes());
    EXPECT_EQ(ended.pending_input(), "");

    // Ctrl-C ends the prompt there as at a controlling terminal; a prompt
    // whose parent is gone reads no further: what is typed next is the
    // shell's.
    Terminal interrupted({"-c", "work2"}, {.controlling = false});
    interrupted.read_until("'work2' keyring: ");
    type_unentered(interrupted, "hunter2\x03");
    status = interrupted.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_TRUE(interrupted.echoes());
    EXPECT_EQ(interrupted.pending_input(), "");
    Terminal orphaned({"-c", "work2"}, {.controlling = false, .under_shell = true});
    orphaned.read_until("'work2' keyring: ");
    kill(orphaned.pid(), SIGKILL);
    orphaned.wait();
    EXPECT_TRUE(eventually([&] { return orphaned.echoes(); }));
    type_unentered(orphaned, "ls\n");
    EXPECT_EQ(orphaned.pending_input(), "ls\n");
}

// In the background, with its stop signals ignored, the terminal is the
// shell's: the prompt neither silences it nor takes what is typed there.
TEST(Prompt, InTheBackgroundTheTerminalIsLeftAlone) {
    brassbox({"-c", "work", "-p", "pw"});
    brassbox({"-l", "work"});
    Terminal job({"-u", "work"}, {.background = true});
    job.type("ls\n");
    int status = job.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(job.echoes());
    EXPECT_EQ(job.pending_input(), "ls\n");
}

// Whatever ends the process while echo is off, the terminal comes back,
// and what was typed there is nobody's to read: the shell would show it
// and run it. Ctrl-C ends it at a raw terminal too, which stays raw. No
// handler sees SIGKILL or SIGSTOP: what was typed is ours already.
TEST(Prompt, SignalsAtThePromptLeaveEchoOn) {
    for (int signo : {SIGINT,    SIGTERM,   SIGHUP,       SIGQUIT,  SIGUSR1, SIGUSR2, SIGPIPE,
                      SIGALRM,   SIGVTALRM, SIGPROF,      SIGXCPU,  SIGXFSZ, SIGIO,   SIGPWR,
                      SIGSYS,    SIGABRT,   SIGSEGV,      SIGBUS,   SIGFPE,  SIGILL,  SIGTRAP,
                      SIGSTKFLT, SIGRTMIN,  SIGRTMIN + 5, SIGRTMAX, SIGKILL, SIGSTOP}) {
        Terminal tty({"-c", "work"}, {.raw = signo == SIGINT});
        tty.read_until(kPrompt);
        ASSERT_TRUE(eventually([&] { return !tty.echoes(); }));
        type_unentered(tty, "hunter2");
        if (signo == SIGINT)
            tty.type("\x03");
        else
            kill(tty.pid(), signo);
        if (signo != SIGKILL && signo != SIGSTOP) {
            int status = tty.wait();
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signo) << strsignal(signo);
            EXPECT_TRUE(signo == SIGINT ? tty.raw() : tty.echoes()) << strsignal(signo);
        }
        EXPECT_EQ(tty.pending_input(), "") << strsignal(signo);
    }
    // A signal left ignored (nohup: SIGHUP) stays ignored there, and one
    // that does nothing by default (the window resized) does nothing.
    brassbox({"-c", "work", "-p", "pw"});
    brassbox({"-l", "work"});
    Terminal tty({"-u", "work"}, {.ignored = SIGHUP});
    tty.read_until(kPrompt);
    ASSERT_TRUE(eventually([&] { return !tty.echoes(); }));
    kill(tty.pid(), SIGHUP);
    kill(tty.pid(), SIGWINCH);
    type_unentered(tty, "p");
    EXPECT_FALSE(tty.echoes());
    type_unentered(tty, "w\n");
    EXPECT_NE(tty.read_until("keyring.").find("Unlocked 'work' keyring."), std::string::npos);
    int status = tty.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// A stop no handler sees (kill -STOP, a debugger) gives the terminal back
// to the shell, which turns echo on; on continuing, the prompt silences it
// and asks afresh, as after Ctrl-Z. Time stopped there, past the time
// limit, is the user's, not the request's.
TEST(Prompt, AfterAnyStopThePromptAsksAgainWithoutEcho) {
    Terminal tty({"-c", "work"});
    tty.read_until(kPrompt);
    ASSERT_TRUE(eventually([&] { return !tty.echoes(); }));
    kill(tty.pid(), SIGSTOP);
    tty.echo_on();
    std::this_thread::sleep_for(std::chrono::seconds(11));
    kill(tty.pid(), SIGCONT);
    const std::string again = std::string(kPrompt) + "\r\n" + kPrompt;
    EXPECT_NE(tty.read_until(again).find(again), std::string::npos);
    EXPECT_TRUE(eventually([&] { return !tty.echoes(); }));
    tty.type("\x1a"); // Ctrl-Z
    EXPECT_NE(tty.read_until(again + "\r\n" + kPrompt).find(again + "\r\n" + kPrompt),
              std::string::npos);
    EXPECT_TRUE(eventually([&] { return !tty.echoes(); }));
    tty.type("hunter2\n");
    auto shown = tty.read_until("keyring.");
    EXPECT_EQ(shown.find("hunter2"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Created 'work' keyring."), std::string::npos) << shown;
}

// At a terminal, nobody is asked for a password that cannot matter.
TEST(Prompt, NoPromptWhenThePasswordCannotMatter) {
    brassbox({"-c", "work", "-p", "pw"});
    for (const auto &[args, said, status] :
         std::vector<std::tuple<std::vector<std::string>, std::string, int>>{
             {{"-u", "nosuch"}, error_line(4), 0},
             {{"-c", ""}, error_line(5), 0},
             {{"-c", "\xff"}, error_line(5), 0},
             {{"-c", "work"}, error_line(8), 0},
             {{"-u", "work"}, "Unlocked 'work' keyring.\n", 1}}) {
        Terminal tty(args);
        auto line = said.substr(0, said.size() - 1) + "\r\n";
        EXPECT_EQ(tty.read_until(line), line);
        int ended = tty.wait();
        EXPECT_TRUE(WIFEXITED(ended) && WEXITSTATUS(ended) == status) << args[0];
    }
}

TEST(Prompt, EachRunReadsOnlyItsOwnLine) {
    for (const char *name : {"a", "b"})
        brassbox({"-c", name, "-p", std::string("pw") + name});
    const std::string runs = "{ \"$BRASSBOX\" -u a; \"$BRASSBOX\" -u b; cat; }";
    for (const auto &script :
         {"printf 'pwa\\npwb\\nrest\\n' | " + runs,
          "printf 'pwa\\npwb\\nrest\\n' >\"$HOME/lines\"; " + runs + " <\"$HOME/lines\""}) {
        brassbox({"-l", "a"});
        brassbox({"-l", "b"});
        auto run = shell(script);
        EXPECT_EQ(run.err, "Unlocked 'a' keyring.\nUnlocked 'b' keyring.\n") << script;
        EXPECT_EQ(run.out, "rest\n") << script;
    }
    // A run that fails takes its line all the same.
    auto run = shell("printf 'x\\ny\\npwa\\n' | { \"$BRASSBOX\" -u missing; \"$BRASSBOX\" -c a; "
                     "\"$BRASSBOX\" -l a; \"$BRASSBOX\" -u a; }");
    EXPECT_EQ(run.err,
              error_line(4) + error_line(8) + "Locked 'a' keyring.\nUnlocked 'a' keyring.\n");
}

// No input, closed input, a NUL byte, which no password can hold, or more
// than any password (16 MiB): nothing said, nothing sent.
TEST(Prompt, ZeroPasswordsMeansNoRequest) {
    for (auto run : {brassbox({"-c", "work"}, {.input = ""}), shell("\"$BRASSBOX\" -c work <&-"),
                     brassbox({"-c", "work"}, {.input = std::string("pw\0rd\n", 6)}),
                     shell("\"$BRASSBOX\" -c work </dev/zero", {.limit_seconds = 20})}) {
        EXPECT_EQ(run.out + run.err, "");
        EXPECT_EQ(run.status, 0);
    }
    EXPECT_EQ(keyring_names(), std::vector<std::string>{"session"});
}

TEST(Prompt, WithoutTerminalOneLineOfStandardInput) {
    auto run = brassbox({"-c", "work"}, {.input = "from pipe\nnot this\n"});
    EXPECT_EQ(run.err, "Created 'work' keyring.\n");
    brassbox({"-l", "work"});
    EXPECT_EQ(brassbox({"-u", "work"}, {.input = "not this\n"}).status, 0);
    run = brassbox({"-u", "work"}, {.input = "from pipe"});
    EXPECT_EQ(run.err, "Unlocked 'work' keyring.\n");

    run = brassbox({"-c", "empty"}, {.input = "\n"});
    EXPECT_EQ(run.err, "Created 'empty' keyring.\n");
}

TEST(Prompt, LongPasswordFromPipeKeepsEveryByte) {
    std::string password(1 << 20, 'p');
    for (size_t i = 0; i < password.size(); i += 4093)
        password[i] = static_cast<char>('a' + i % 26);
    auto run = brassbox({"-c", "big"}, {.input = password + "\n"});
    EXPECT_EQ(run.err, "Created 'big' keyring.\n");
    brassbox({"-l", "big"});
    std::string almost = password;
    almost[5000] = 'x';
    EXPECT_EQ(brassbox({"-u", "big"}, {.input = almost}).err, error_line(1));
    EXPECT_EQ(brassbox({"-u", "big"}, {.input = password}).status, 1);
}

// Read while the request waits on a stopped daemon, long after the
// options were read.
std::string command_line_during_request(const std::vector<std::string> &args) {
    pid_t daemon = daemon_pid();
    kill(daemon, SIGSTOP);
    std::string seen;
    auto run = brassbox(args, {.started = [&](pid_t pid) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(300));
                            seen = proc_file(pid, "cmdline");
                            EXPECT_TRUE(memory_protected(pid));
                            kill(daemon, SIGCONT);
                        }});
    EXPECT_EQ(run.status, 1) << run.err;
    return seen;
}

TEST(Prompt, GivenPasswordLeavesTheArgumentVector) {
    auto seen = command_line_during_request({"-u", "session", "-p", "topsecret", "-nnewsecret"});
    EXPECT_NE(seen.find("session"), std::string::npos);
    EXPECT_EQ(seen.find("secret"), std::string::npos) << seen;
    // Also when a command that acts at once comes before them.
    seen = command_line_during_request({"-s", "session", "-p", "topsecret", "-tnnewsecret"});
    EXPECT_NE(seen.find("session"), std::string::npos);
    EXPECT_EQ(seen.find("secret"), std::string::npos) << seen;
}

} // namespace
