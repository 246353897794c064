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
// Whether the user's locale (LC_ALL, LC_CTYPE, LANG) has UTF-8 for its
// character set, which is what tells how their terminal reads bytes. The
// tool itself keeps the C locale.
bool locale_is_utf8();
// Control characters as \xNN, and a backslash doubled so that the escapes
// read unambiguously: C0 and DEL; in UTF-8, C1 characters and lone bytes
// 0x80-0x9f outside valid UTF-8; in any other character set, which 8-bit
// terminals read, every byte 0x80-0x9f, since they take each for C1 (0x9b
// is CSI), also inside what would be a UTF-8 letter.
std::string escape_controls(std::string_view text, bool utf8 = locale_is_utf8());

// One line on standard error: the label and the message for the code.
void print_error(int err_code, const char *err_type);
