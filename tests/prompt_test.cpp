// Reading a password without a terminal: exactly one line, and no copy
// of it left in memory that is given back. At a terminal: the line the
// kernel's own canonical mode would read.
#include "freed_memory.h"
#include "prompt.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
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

// The terminal's settings for a row: canonical mode, echo off, as a
// password reader has it.
struct Setting {
    const char *name;
    tcflag_t iflag_on = 0, iflag_off = 0, lflag_off = 0;
    std::string keys = "\x7f\x15\x17\x16\x04"; // erase, kill, word erase, next literal, EOF
    cc_t eol = 0, eol2 = 0;
};

void set_up(int tty, const Setting &setting) {
    termios modes{};
    tcgetattr(tty, &modes);
    modes.c_iflag = (modes.c_iflag | ICRNL | IUTF8 | setting.iflag_on) & ~setting.iflag_off;
    modes.c_lflag = ((modes.c_lflag | ICANON | IEXTEN | ISIG) & ~ECHO) & ~setting.lflag_off;
    const int keys[] = {VERASE, VKILL, VWERASE, VLNEXT, VEOF};
    for (size_t i = 0; i < setting.keys.size(); i++)
        modes.c_cc[keys[i]] = static_cast<cc_t>(setting.keys[i]);
    modes.c_cc[VEOL] = setting.eol;
    modes.c_cc[VEOL2] = setting.eol2;
    tcsetattr(tty, TCSANOW, &modes);
}

// What a reader of the terminal in canonical mode gets before the first
// line ends, or before the end of input: none when nothing came at all.
std::optional<std::string> kernel_reads(int tty, const Setting &setting) {
    std::string got;
    for (;;) {
        pollfd ready{tty, POLLIN, 0};
        std::string chunk(8192, '\0');
        ssize_t size = poll(&ready, 1, 1000) == 1 ? read(tty, chunk.data(), chunk.size()) : -1;
        if (size < 0)
            return "(no line)";
        if (size == 0)
            return got.empty() ? std::nullopt : std::optional(got);
        got += chunk.substr(0, static_cast<size_t>(size));
        char last = got.back();
        if (last == '\n' || (setting.eol != 0 && last == static_cast<char>(setting.eol)) ||
            (setting.eol2 != 0 && last == static_cast<char>(setting.eol2))) {
            got.pop_back();
            return got;
        }
    }
}

std::optional<std::string> prompt_reads(int master, int tty, const std::string &keys) {
    std::atomic<bool> read_line = false;
    // The keys go once the prompt is shown: it has set the terminal. A
    // prompt still waiting long after gets an Enter, to fail the row.
    std::thread typist([&] {
        std::string shown;
        for (char byte = 0; shown.find("P:") == std::string::npos && read(master, &byte, 1) == 1;)
            shown += byte;
        bool typed = write(master, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
        for (int waited = 0; typed && !read_line && waited < 100; waited++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!read_line && write(master, "(no line)\r\n", 11) != 11)
            ADD_FAILURE() << "cannot type";
    });
    Password typed(read_at_terminal(tty, "P:", getppid()));
    read_line = true;
    typist.join();
    return typed ? std::optional<std::string>(typed.get()) : std::nullopt;
}

// Each row typed at a pseudo-terminal read by the kernel in canonical
// mode, the oracle, and at one read by the prompt: the same line, under
// each setting that changes what the keys do.
TEST(Prompt, EditsTheLineAsTheKernelDoes) {
    const Setting settings[] = {
        {"utf-8"},
        {"latin-1", 0, IUTF8},
        {"no iexten", 0, 0, IEXTEN},
        {"remapped", 0, 0, 0, "\x08\x18\x02\x0e\x01", ';', '|'},
        {"-icrnl", 0, ICRNL},
        {"igncr", IGNCR},
    };
    // {E}rase, {K}ill, {W}ord erase, {V} next literal, {D} end of file.
    // clang-format off
    const char *const rows[] = {
        "hunter2\n", "a\xc2\xa3{E}b\n", "\xc3\xa9{E}x\n", "x foo-bar{W}\n", "foo  {W}z\n",
        "ab{V}{K}cd\n", "ab{V}{E}\n", "ab{V}\rc\n", "ab{V}{D}c\n", "{E}{E}x\n", "a\x80{E}\n",
        "\xf0\x9f\x94\x91{E}k\n", "abc{D}{E}d\n", "abc{D}{D}", "{D}", "abc{K}xyz\n",
        "one two{W}{W}three\n", "tab\t{W}x\n", "a\tb{W}x\n", "a\rb\n", "x_y-z{W}\n",
        "{W}abc\n", "ab;cd\n", "ab|cd\n", "ab{V}{V}c\n", "\xc3\xa9\xc3\xa9{W}x\n",
        "\xc2\xbf{W}x\n", "ab{E}{E}{E}c\n", "a{V}\n\n", "ab\x7f\x15\x17" "c\n", "{K}{D}x\n"};
    // clang-format on
    for (const auto &setting : settings) {
        for (std::string row : rows) {
            std::string keys;
            for (size_t at = 0; at < row.size(); at++) {
                size_t key = 0;
                bool placeholder =
                    row[at] == '{' && at + 2 < row.size() && row[at + 2] == '}' &&
                    (key = std::string_view("EKWVD").find(row[at + 1])) != std::string_view::npos;
                keys += placeholder ? setting.keys[key] : row[at];
                at += placeholder ? 2 : 0;
            }
            SCOPED_TRACE(std::string(setting.name) + ": " + row);
            int master = -1, tty = -1;
            ASSERT_EQ(openpty(&master, &tty, nullptr, nullptr, nullptr), 0);
            set_up(tty, setting);
            ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
            auto expected = kernel_reads(tty, setting);
            close(master);
            close(tty);
            ASSERT_EQ(openpty(&master, &tty, nullptr, nullptr, nullptr), 0);
            set_up(tty, setting);
            EXPECT_EQ(prompt_reads(master, tty, keys), expected);
            close(master);
            close(tty);
        }
    }
}

} // namespace
