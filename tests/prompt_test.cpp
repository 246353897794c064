// Reading a password without a terminal: exactly one line, and no copy
// of it left in memory that is given back.
#include "freed_memory.h"
#include "prompt.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *kMarker = "Zq8#marker-pw!xY";

// Runs in a child of its own session, so that no controlling terminal is
// asked; its exit status says what went wrong.
int read_one_password(const std::string &password, const std::string &rest) {
    setsid();
    int pipes[2];
    std::string input = password + "\n" + rest;
    if (pipe(pipes) != 0 ||
        write(pipes[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        return 10;
    close(pipes[1]);
    dup2(pipes[0], STDIN_FILENO);
    watch_freed_memory(kMarker);
    Password typed;
    const char *read = PasswordSource(nullptr).password("Password: ", typed);
    bool right = read != nullptr && read == password;
    typed.reset();
    size_t unwiped = freed_blocks_holding_secret();
    std::string left(rest.size() + 1, '\0');
    bool kept = ::read(STDIN_FILENO, left.data(), left.size()) == static_cast<ssize_t>(rest.size());
    left.resize(rest.size());
    return !right ? 1 : unwiped != 0 ? 2 : !kept || left != rest ? 3 : 0;
}

TEST(Prompt, ReadsOneLineAndWipesEveryCopy) {
    if (!can_watch_freed_memory())
        GTEST_SKIP() << "the allocator is the sanitizer's";
    // Long enough that the buffer grows, and every grown copy holds the marker.
    std::string password = kMarker;
    while (password.size() < 10000)
        password += static_cast<char>('a' + password.size() % 26);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0)
        _exit(read_one_password(password, "next line\n"));
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    const char *const failures[] = {"", "not the password given", "a copy was released unwiped",
                                    "read past its line"};
    int failed = WEXITSTATUS(status);
    EXPECT_EQ(failed, 0) << (failed < 4 ? failures[failed] : "could not set up its input");
}

} // namespace
