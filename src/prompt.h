// Reading a password without showing it, and keeping it secret.
#pragma once

#include <memory>
#include <optional>
#include <sys/types.h>

// Wipes a password copy and releases it; null is ignored.
void free_password(char *password);

struct PasswordFree {
    void operator()(char *password) const { free_password(password); }
};
// A password copy that is wiped when it goes.
using Password = std::unique_ptr<char, PasswordFree>;

// Where a password comes from, decided once per run: the one given; else
// a prompt on the controlling terminal, or without one (setsid) on a
// terminal that is standard input, echo off, one line read, the terminal
// restored even when a signal ends the wait; else, with no terminal at
// all, one line of standard input and no prompt.
class PasswordSource {
public:
    explicit PasswordSource(const char *given);
    ~PasswordSource();
    PasswordSource(const PasswordSource &) = delete;
    PasswordSource &operator=(const PasswordSource &) = delete;

    bool asks_at_terminal() const { return given_ == nullptr && terminal_ >= 0; }
    // The password given, else one read, which typed keeps and wipes; null
    // when none was read (end of input, a read error, a NUL byte in the
    // line). The prompt is shown only at a terminal.
    const char *password(const char *prompt, Password &typed);

private:
    const char *given_;
    pid_t parent_;
    int terminal_ = -1; // to ask at; -1: read standard input
    bool opened_ = false;
};

// The prompt at a terminal: echo off, the line edited as the kernel's
// canonical mode edits it with the terminal's settings, the terminal
// restored even when a signal ends the wait. parent: none at our
// controlling terminal, else the process we end with while we ask. Null
// when no line was entered.
char *read_at_terminal(int tty, const char *prompt, std::optional<pid_t> parent);

// Keeps passwords out of core dumps and away from debuggers; called
// wherever a password enters the process.
void protect_process_memory();
