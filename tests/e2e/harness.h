// Runs the built brassbox as a user would, on the private bus and daemon
// the test runs under.
#pragma once

#include "messages.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

struct Run {
    int status = -1; // exit status, or minus the signal that ended it
    std::string out;
    std::string err;
};

struct Launch {
    std::string input;                                    // standard input
    std::vector<std::pair<std::string, std::string>> env; // set for the run
    std::vector<std::string> unset;                       // removed for the run
    std::string argv0 = BRASSBOX_BIN;                     // what the program is called
    std::string cwd;
    int limit_seconds = 60;             // killed after this long, and the test fails: a hang
    std::function<void(pid_t)> started; // called once it runs, before waiting
};

// A program in a session of its own, without controlling terminal.
Run spawn(const std::vector<std::string> &argv, const Launch &launch = {});
Run brassbox(const std::vector<std::string> &args, const Launch &launch = {});
// A shell script, with $BRASSBOX naming the binary.
Run shell(const std::string &script, const Launch &launch = {});
// What --list shows, sorted: the daemon's order is its own.
std::vector<std::string> keyring_names();
std::string keyrings_dir();
bool exists(const std::string &path);
// The running keyring daemon's process, from the bus.
pid_t daemon_pid();
// Whether a keyring daemon serves the bus now.
bool daemon_serves();
struct TerminalSetup {
    bool controlling = true;       // else in a session of its own (setsid)
    int ignored = 0;               // a signal left ignored, as nohup leaves SIGHUP
    bool raw = false;              // as after stty raw
    bool output_elsewhere = false; // standard output not the terminal
    bool background = false;       // a job of its own, the terminal's stop signals ignored
    bool under_shell = false;      // a shell's child, not the test's: pid() is the shell's
};

// brassbox with a pseudo-terminal as its controlling terminal, or in a
// session of its own with the terminal only as its standard streams. The
// terminal stays open after brassbox ends, as under a shell.
class Terminal {
public:
    explicit Terminal(const std::vector<std::string> &args, TerminalSetup setup = {});
    ~Terminal();
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // Everything shown so far, once `until` was shown or five seconds passed.
    std::string read_until(const std::string &until);
    void type(const std::string &text);
    bool echoes();
    bool raw();     // no echo, no line editing, no signals from keys
    void echo_on(); // as a shell does when the program stops
    // What the next reader gets of the terminal's input, typed but never
    // entered included, as a shell reading it raw sees it.
    std::string pending_input();
    pid_t pid() const { return pid_; }
    int wait(); // the wait status

private:
    int master_ = -1;
    int slave_ = -1;
    pid_t pid_ = -1;
    std::string shown_;
};

// Polls until the condition holds or about five seconds have passed.
template <typename Condition> bool eventually(Condition condition);

#include <chrono>
#include <thread>
template <typename Condition> bool eventually(Condition condition) {
    for (int tries = 0; tries < 500; tries++) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}
