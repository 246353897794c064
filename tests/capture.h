// Captures what a piece of code writes to standard output and error.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

struct Output {
    std::string out;
    std::string err;
};

inline std::string drain(FILE *file) {
    std::string text;
    rewind(file);
    for (int c; (c = fgetc(file)) != EOF;)
        text += static_cast<char>(c);
    fclose(file);
    return text;
}

template <typename Code> Output capture(Code code) {
    fflush(stdout);
    fflush(stderr);
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    int saved_out = dup(STDOUT_FILENO);
    int saved_err = dup(STDERR_FILENO);
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    code();
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    return {drain(out), drain(err)};
}
