// The usage text, the version line and the result messages.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

inline constexpr size_t kErrorMessages = 11;
// Indexed by result code; defined with the entry point.
extern const char *const error_msg[kErrorMessages];

extern const char usage_str[];

[[noreturn]] void print_usage(const char *appname);
void print_version();
// Text as written to stream: byte for byte, unless stream is a terminal,
// where a name must not be able to send the terminal commands.
std::string shown(std::string_view text, FILE *stream);
// Control characters (C0, DEL, C1 encoded in UTF-8, and bytes 0x80-0x9f
// outside valid UTF-8, which 8-bit terminals read as C1) as \xNN, and a
// backslash doubled so that the escapes read unambiguously.
std::string escape_controls(std::string_view text);

// One line on standard error: the label and the message for the code.
void print_error(int err_code, const char *err_type);
