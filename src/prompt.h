// Reading a password without showing it, and keeping it secret.
#pragma once

#include <memory>

// From the controlling terminal, or without one from a terminal on
// standard input: prompt shown there, echo off, one line read, the
// terminal restored even when a signal ends the wait. With no terminal at
// all: one line of standard input, no prompt.
// Returns a copy to release with free_password, or null when no password
// was read (end of input, a read error, a NUL byte in the line).
char *read_password(const char *prompt);

// Whether read_password() would ask at a terminal rather than read
// standard input.
bool asks_at_terminal();

// Wipes a password copy and releases it; null is ignored.
void free_password(char *password);

struct PasswordFree {
    void operator()(char *password) const { free_password(password); }
};
// A password copy that is wiped when it goes.
using Password = std::unique_ptr<char, PasswordFree>;

// Keeps passwords out of core dumps and away from debuggers; called
// wherever a password enters the process.
void protect_process_memory();
