// Where passwords come from, and where they must never show up.
#include "harness.h"

#include <csignal>
#include <fstream>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>

namespace {

const char *const kPrompt = "Enter password for 'work' keyring: ";

// brassbox with a pseudo-terminal as its controlling terminal.
class Terminal {
public:
    explicit Terminal(const std::vector<std::string> &args) {
        std::vector<char *> argv{const_cast<char *>(BRASSBOX_BIN)};
        for (const auto &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Terminal() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait();
        }
        close(master_);
    }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // What the program wrote, until it wrote `until` or five seconds passed.
    std::string read_until(const std::string &until) {
        for (int waited = 0; shown_.find(until) == std::string::npos && waited < 5000;) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                waited += 100;
                continue;
            }
            char buf[4096];
            ssize_t got = read(master_, buf, sizeof buf);
            if (got <= 0)
                break;
            shown_.append(buf, static_cast<size_t>(got));
        }
        return shown_;
    }
    void type(const std::string &text) {
        ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    bool echoes() {
        termios settings{};
        tcgetattr(master_, &settings);
        return (settings.c_lflag & ECHO) != 0;
    }
    pid_t pid() const { return pid_; }
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string shown_;
};

std::string proc_file(pid_t pid, const char *name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    return {std::istreambuf_iterator<char>(file), {}};
}

// A password in memory must not end up in a core file.
bool core_dumps_off(pid_t pid) {
    std::istringstream limits(proc_file(pid, "limits"));
    for (std::string line; std::getline(limits, line);) {
        std::istringstream fields(line.substr(std::string("Max core file size").size()));
        std::string soft, hard;
        if (line.starts_with("Max core file size") && fields >> soft >> hard)
            return soft == "0" && hard == "0";
    }
    return false;
}

TEST(Prompt, AsksOnTheTerminalWithoutEcho) {
    Terminal tty({"-c", "work"});
    EXPECT_EQ(tty.read_until(kPrompt), kPrompt);
    EXPECT_TRUE(eventually([&] { return !tty.echoes(); }));
    EXPECT_TRUE(core_dumps_off(tty.pid()));
    tty.type("hunter2\n");
    auto shown = tty.read_until("keyring.");
    EXPECT_EQ(shown.find("hunter2"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Created 'work' keyring."), std::string::npos) << shown;
    int status = tty.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_TRUE(tty.echoes());

    brassbox({"-l", "work"});
    EXPECT_EQ(brassbox({"-u", "work", "-p", "hunter2"}).status, 1);
}

TEST(Prompt, SignalsAtThePromptLeaveEchoOn) {
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        Terminal tty({"-u", "work"});
        tty.read_until(kPrompt);
        ASSERT_TRUE(eventually([&] { return !tty.echoes(); }));
        if (signo == SIGINT)
            tty.type("\x03");
        else
            kill(tty.pid(), signo);
        int status = tty.wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signo) << signo;
        EXPECT_TRUE(tty.echoes()) << signo;
    }
}

TEST(Prompt, ZeroPasswordsMeansNoRequest) {
    auto run = brassbox({"-c", "work"}, {.input = ""});
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(run.status, 0);
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

TEST(Prompt, GivenPasswordLeavesTheArgumentVector) {
    pid_t daemon = daemon_pid();
    kill(daemon, SIGSTOP);
    const char *argv[] = {BRASSBOX_BIN, "-u", "session", "-p", "topsecret", "-nnewsecret", nullptr};
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSubprocess) process =
        g_subprocess_newv(argv, G_SUBPROCESS_FLAGS_STDERR_SILENCE, &error);
    ASSERT_NE(process, nullptr);
    pid_t pid = std::stoi(g_subprocess_get_identifier(process));
    // Waiting on the stopped daemon, long after its options were read.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string seen = proc_file(pid, "cmdline");
    EXPECT_TRUE(core_dumps_off(pid));
    kill(daemon, SIGCONT);
    g_subprocess_wait(process, nullptr, nullptr);
    EXPECT_NE(seen.find("session"), std::string::npos);
    EXPECT_EQ(seen.find("secret"), std::string::npos) << seen;
    EXPECT_EQ(g_subprocess_get_exit_status(process), 1);
}

} // namespace
