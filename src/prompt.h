// Reading a password without showing it.
#pragma once

// From the controlling terminal: prompt shown there, echo off, one line
// read, the terminal restored even when a signal ends the wait. With no
// controlling terminal: one line of standard input, no prompt.
// Returns a copy to release with free_password, or null when no password
// was read (end of input, a read error, a NUL byte in the line).
char *read_password(const char *prompt);

// Wipes a password copy and releases it; null is ignored.
void free_password(char *password);

// Keeps passwords out of core dumps and away from debuggers.
void protect_process_memory();
