// The usage text, the version line and the result messages.
#pragma once

#include <cstddef>

inline constexpr size_t kErrorMessages = 11;
// Indexed by result code; defined with the entry point.
extern const char *const error_msg[kErrorMessages];

extern const char usage_str[];

[[noreturn]] void print_usage(const char *appname);
void print_version();
// One line on standard error: the label and the message for the code.
void print_error(int err_code, const char *err_type);
