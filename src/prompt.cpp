#include "prompt.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Longer input is not a password; refusing it bounds what a stray
// endless stream (`< /dev/zero`) can make us hold.
constexpr size_t kMaxPassword = size_t{16} * 1024 * 1024;

// Stopping with echo off would leave the shell silent: these are noted,
// and delivered once the terminal is restored. A continue is noted too:
// after a stop no handler sees (SIGSTOP: a debugger, kill -STOP) the shell
// has given the terminal its own modes back, echo on. Either way the
// prompt then starts afresh.
constexpr std::array kStopSignals = {SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};

// Signals whose default action neither ends nor stops the process, and
// those no handler can catch.
constexpr std::array kHarmlessSignals = {SIGKILL, SIGSTOP, SIGCHLD, SIGURG, SIGWINCH};

volatile sig_atomic_t caught[NSIG];
// Written by the handler, so that the wait for input ends whichever of
// the process's threads (GLib runs its own) the signal was delivered to.
int wake_pipe[2] = {-1, -1};

// What a handler needs to give the terminal back before the process ends.
int quiet_tty = -1;
struct termios tty_before {};
volatile sig_atomic_t echo_off = 0;

void note_stop(int signo) {
    int saved_errno = errno;
    caught[signo] = 1;
    if (write(wake_pipe[1], "", 1) < 0) {
        // Full: a wake-up is already waiting.
    }
    errno = saved_errno;
}

// Any other signal ends the process: first the terminal is restored, then
// the default action happens (SA_RESETHAND has put it back). What was
// typed and not yet entered goes too, as when a password is read: left
// queued, it would be the next reader's, and the shell would show it and
// run it as a command.
void end_on_signal(int signo) {
    if (echo_off != 0) {
        tcsetattr(quiet_tty, TCSANOW, &tty_before);
        tcflush(quiet_tty, TCIFLUSH);
        if (write(quiet_tty, "\n", 1) < 0) {
            // Nothing more can be done for the terminal.
        }
    }
    raise(signo);
}

bool is_stop_signal(int signo) {
    return std::ranges::find(kStopSignals, signo) != kStopSignals.end();
}

void wipe_and_release(char *bytes, size_t size) {
    if (bytes != nullptr)
        explicit_bzero(bytes, size);
    g_free(bytes);
}

// A growing buffer that wipes every byte it gives back.
class Line {
public:
    Line() = default;
    ~Line() { wipe_and_release(bytes_, capacity_); }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool append(std::string_view bytes) {
        if (bytes.empty())
            return true;
        size_t needed = size_ + bytes.size();
        if (needed > kMaxPassword)
            return false;
        if (bytes_ == nullptr || needed > capacity_) {
            size_t capacity = std::max(capacity_ * 2, needed);
            auto *grown = static_cast<char *>(g_malloc(capacity));
            if (size_ > 0)
                memcpy(grown, bytes_, size_);
            wipe_and_release(bytes_, capacity_);
            bytes_ = grown;
            capacity_ = capacity;
        }
        memcpy(bytes_ + size_, bytes.data(), bytes.size());
        size_ = needed;
        return true;
    }
    std::string_view view() const { return {bytes_, size_}; }
    // Drops the last count bytes, wiped.
    void drop(size_t count) {
        count = std::min(count, size_);
        size_ -= count;
        explicit_bzero(bytes_ + size_, count);
    }
    // The last letter: a UTF-8 sequence of up to four bytes, else a byte.
    void erase_letter() {
        size_t count = 1;
        while (count < std::min<size_t>(size_, 4) && is_continuation(bytes_[size_ - count]))
            count++;
        drop(count);
    }
    // The last word and the blanks behind it, as the terminal erases one.
    void erase_word() {
        auto text = view();
        size_t end = text.find_last_not_of(" \t");
        size_t start = end == std::string_view::npos ? end : text.find_last_of(" \t", end);
        drop(size_ - (start == std::string_view::npos ? 0 : start + 1));
    }

private:
    static bool is_continuation(char byte) {
        return (static_cast<unsigned char>(byte) & 0xc0) == 0x80;
    }

    char *bytes_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

bool stop_caught() {
    return std::ranges::any_of(kStopSignals, [](int signo) { return caught[signo] != 0; });
}

// Waits for input; false when a stop signal arrived first.
bool wait_for_input(int fd) {
    for (;;) {
        std::array<pollfd, 2> ready{{{fd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}}};
        int got = poll(ready.data(), ready.size(), -1);
        if (stop_caught())
            return false;
        if (got > 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// Reads up to the first newline (not kept) or the end of input, and not a
// byte further: what follows is left for whoever reads the input next.
// From a file that can seek, a chunk is read and the rest handed back;
// otherwise a byte at a time. False on a read error or a line too long.
bool read_line(int fd, Line &line, bool &at_end) {
    std::array<char, 4096> chunk{};
    const bool seekable = lseek(fd, 0, SEEK_CUR) >= 0;
    const size_t step = seekable ? chunk.size() : 1;
    at_end = false;
    for (;;) {
        ssize_t got = read(fd, chunk.data(), step);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0) {
            at_end = true;
            return true;
        }
        std::string_view bytes(chunk.data(), static_cast<size_t>(got));
        auto end = bytes.find('\n');
        bool found = end != std::string_view::npos;
        bool ok =
            line.append(bytes.substr(0, end)) &&
            (!found || !seekable || lseek(fd, static_cast<off_t>(end + 1) - got, SEEK_CUR) >= 0);
        explicit_bzero(chunk.data(), bytes.size());
        if (!ok || found)
            return ok;
    }
}

char *copy_password(const Line &line, bool complete) {
    auto text = line.view();
    if (!complete || text.find('\0') != std::string_view::npos)
        return nullptr;
    auto *copy = static_cast<char *>(g_malloc(text.size() + 1));
    if (!text.empty())
        memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

char *read_from(int fd) {
    Line line;
    bool at_end = false;
    bool ok = read_line(fd, line, at_end);
    // End of input with nothing read is no password; an empty line is one.
    return copy_password(line, ok && !(at_end && line.view().empty()));
}

enum class Typed { More, Entered, Ended, Refused };

// One byte typed, applied to the line as the terminal's own line editing
// would apply it, with the terminal's own characters. Enter ends the line
// as a newline or, from a raw terminal, a carriage return.
Typed edit(Line &line, char typed, const cc_t *keys) {
    auto is = [&](int key) {
        return keys[key] != _POSIX_VDISABLE && static_cast<cc_t>(typed) == keys[key];
    };
    if (typed == '\n' || typed == '\r' || is(VEOL) || is(VEOL2))
        return Typed::Entered;
    if (is(VEOF)) // ends the input on an empty line, as a shell takes it
        return line.view().empty() ? Typed::Ended : Typed::More;
    if (is(VERASE))
        line.erase_letter();
    else if (is(VKILL))
        line.drop(line.view().size());
    else if (is(VWERASE))
        line.erase_word();
    else if (!line.append({&typed, 1}))
        return Typed::Refused;
    return Typed::More;
}

// Reads what is typed as it arrives, a byte at a time, and edits the line
// here. The terminal holds nothing back until Enter, so nothing typed waits
// in the kernel when the process ends in a way no handler sees (SIGKILL)
// or stops (SIGSTOP): the shell, reading next, would run it as a command.
// Null at the end of input, on a read error, a stop signal, or a line too
// long.
char *read_typed(int tty, const cc_t *keys) {
    Line line;
    for (;;) {
        if (!wait_for_input(tty))
            return nullptr;
        char typed = 0;
        ssize_t got = read(tty, &typed, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return nullptr;
        Typed done = edit(line, typed, keys);
        explicit_bzero(&typed, 1);
        if (done == Typed::Entered)
            return copy_password(line, true);
        if (done != Typed::More)
            return nullptr;
    }
}

struct Watch {
    std::array<struct sigaction, NSIG> saved{};
    std::array<bool, NSIG> replaced{};
};

// While echo is off, no signal may end or stop the process with the
// terminal still silent. A signal the caller chose to ignore stays ignored.
bool watch_signals(Watch &watch) {
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction stop {};
    stop.sa_handler = note_stop;
    sigemptyset(&stop.sa_mask);
    struct sigaction end {};
    end.sa_handler = end_on_signal;
    end.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigfillset(&end.sa_mask);
    for (int signo = 1; signo < NSIG; signo++) {
        caught[signo] = 0;
        if (std::ranges::find(kHarmlessSignals, signo) != kHarmlessSignals.end() ||
            sigaction(signo, nullptr, &watch.saved[signo]) != 0 ||
            watch.saved[signo].sa_handler == SIG_IGN)
            continue;
        // Fails for the signals the C library keeps for itself.
        watch.replaced[signo] =
            sigaction(signo, is_stop_signal(signo) ? &stop : &end, nullptr) == 0;
    }
    return true;
}

void unwatch_signals(const Watch &watch) {
    for (int signo = 1; signo < NSIG; signo++) {
        if (watch.replaced[signo])
            sigaction(signo, &watch.saved[signo], nullptr);
    }
    close(wake_pipe[0]);
    close(wake_pipe[1]);
    wake_pipe[0] = wake_pipe[1] = -1;
}

// Delivers a stop that arrived while we waited, now that the terminal is
// sane. True when the process was stopped and continued: ask again.
bool deliver_stop() {
    bool stopped = false;
    for (int signo : kStopSignals) {
        if (caught[signo] == 0)
            continue;
        caught[signo] = 0;
        if (signo != SIGCONT)
            kill(getpid(), signo);
        stopped = true;
    }
    return stopped;
}

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t done = write(fd, text.data(), text.size());
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        text.remove_prefix(static_cast<size_t>(done));
    }
}

char *read_from_terminal(int tty, const char *prompt) {
    for (;;) {
        Watch watch;
        if (!watch_signals(watch))
            return nullptr;
        bool quiet = tcgetattr(tty, &tty_before) == 0;
        // Echo off, the line read as it is typed, and Ctrl-C, Ctrl-\ and
        // Ctrl-Z signalling even at a raw terminal.
        struct termios silent = tty_before;
        if (quiet) {
            silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON);
            silent.c_lflag |= ISIG;
            silent.c_cc[VMIN] = 1;
            silent.c_cc[VTIME] = 0;
            quiet_tty = tty;
            echo_off = 1;
            quiet = tcsetattr(tty, TCSAFLUSH, &silent) == 0;
        }
        write_all(tty, prompt);
        char *password = read_typed(tty, silent.c_cc);
        write_all(tty, "\n");
        if (quiet)
            tcsetattr(tty, TCSAFLUSH, &tty_before);
        echo_off = 0;
        unwatch_signals(watch);
        if (!deliver_stop())
            return password;
        free_password(password);
    }
}

} // namespace

PasswordSource::PasswordSource(const char *given) : given_(given) {
    if (given != nullptr)
        return;
    terminal_ = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    opened_ = terminal_ >= 0;
    // No controlling terminal (setsid), yet someone types at a terminal.
    if (!opened_ && isatty(STDIN_FILENO) != 0)
        terminal_ = STDIN_FILENO;
}

PasswordSource::~PasswordSource() {
    if (opened_)
        close(terminal_);
}

const char *PasswordSource::password(const char *prompt, Password &typed) {
    if (given_ != nullptr)
        return given_;
    protect_process_memory();
    typed.reset(terminal_ >= 0 ? read_from_terminal(terminal_, prompt) : read_from(STDIN_FILENO));
    return typed.get();
}

void free_password(char *password) {
    if (password == nullptr)
        return;
    explicit_bzero(password, strlen(password));
    g_free(password);
}

void protect_process_memory() {
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    struct rlimit none {};
    setrlimit(RLIMIT_CORE, &none);
}
