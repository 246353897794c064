#include "prompt.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
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
        if (count == 0)
            return;
        size_ -= count;
        explicit_bzero(bytes_ + size_, count);
    }
    size_t size() const { return size_; }
    unsigned char at(size_t index) const { return static_cast<unsigned char>(bytes_[index]); }

private:
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

enum class Typed { More, Entered, Ended, Refused, Signalled };

// A line being typed, and what the keys before left pending.
struct Typing {
    Line line;
    size_t committed = 0; // what an end-of-file key handed on: no key erases it
    bool literal_next = false;
    int signal = 0; // the key's signal, when the prompt signals itself
};

// A letter, digit or '_' to the kernel's word erase, which classes bytes
// as Latin-1 does.
bool in_word(unsigned char byte) {
    return g_ascii_isalnum(static_cast<char>(byte)) || byte == '_' ||
           (byte >= 0xc0 && byte != 0xd7 && byte != 0xf7);
}

enum class Erase { Letter, Word };

// Erases as the kernel does: the last letter (with IUTF8, its lead byte and
// every continuation byte after it; a letter that would be cut is left
// whole), or the last word: what is not of a word, then what is.
void erase(Typing &typing, Erase kind, bool utf8) {
    auto continues = [utf8](unsigned char byte) {
        return utf8 && (byte & 0xc0) == 0x80;
    };
    Line &line = typing.line;
    bool seen_word = false;
    while (line.size() > typing.committed) {
        size_t head = line.size();
        do
            head--;
        while (continues(line.at(head)) && head != typing.committed);
        if (continues(line.at(head)))
            return;
        if (kind == Erase::Word) {
            if (in_word(line.at(head)))
                seen_word = true;
            else if (seen_word)
                return;
        }
        line.drop(line.size() - head);
        if (kind == Erase::Letter)
            return;
    }
}

// One byte typed, applied to the line as the kernel's canonical mode
// applies it, echo off, with the terminal's own settings; the kernel has
// already applied flow control, stripping and case folding. Two additions,
// so that a raw terminal still takes a password: its interrupt, quit and
// suspend keys signal as if it were not raw, and a carriage return that no
// setting turns into a newline ends the line as Enter.
Typed edit(Typing &typing, unsigned char typed, const termios &terminal) {
    auto set = [&](tcflag_t flags, tcflag_t flag) {
        return (flags & flag) != 0;
    };
    const bool extended = set(terminal.c_lflag, IEXTEN);
    // _POSIX_VDISABLE is NUL: a key set to it is no key, and NUL is no key.
    auto is = [&](int key) {
        return typed != 0 && typed == terminal.c_cc[key];
    };
    if (typing.literal_next) {
        typing.literal_next = false;
        return typing.line.append({reinterpret_cast<char *>(&typed), 1}) ? Typed::More
                                                                         : Typed::Refused;
    }
    if (is(VINTR) || is(VQUIT) || is(VSUSP)) {
        typing.signal = SIGTSTP;
        if (is(VINTR))
            typing.signal = SIGINT;
        else if (is(VQUIT))
            typing.signal = SIGQUIT;
        return Typed::Signalled;
    }
    if (typed == '\r') {
        if (set(terminal.c_iflag, IGNCR))
            return Typed::More;
        if (set(terminal.c_iflag, ICRNL))
            typed = '\n';
        else if (!set(terminal.c_lflag, ICANON))
            return Typed::Entered;
    } else if (typed == '\n' && set(terminal.c_iflag, INLCR)) {
        typed = '\r';
    }
    if (is(VERASE) || (extended && is(VWERASE))) {
        erase(typing, is(VERASE) ? Erase::Letter : Erase::Word, set(terminal.c_iflag, IUTF8));
        return Typed::More;
    }
    if (is(VKILL)) {
        typing.line.drop(typing.line.size() - typing.committed);
        return Typed::More;
    }
    if (extended && is(VLNEXT)) {
        typing.literal_next = true;
        return Typed::More;
    }
    if (typed == '\n' || is(VEOL) || (extended && is(VEOL2)))
        return Typed::Entered;
    if (is(VEOF)) {
        // Hands on what is typed; on an empty line, the end of the input.
        if (typing.line.size() == typing.committed)
            return typing.line.size() == 0 ? Typed::Ended : Typed::Entered;
        typing.committed = typing.line.size();
        return Typed::More;
    }
    return typing.line.append({reinterpret_cast<char *>(&typed), 1}) ? Typed::More : Typed::Refused;
}

// Reads what is typed as it arrives, a byte at a time, and edits the line
// here. The terminal holds nothing back until Enter, so nothing typed waits
// in the kernel when the process ends in a way no handler sees (SIGKILL)
// or stops (SIGSTOP): the shell, reading next, would run it as a command.
// Null at the end of input, on a read error, a stop signal, or a line too
// long.
char *read_typed(int tty, Typing &typing, const termios &terminal) {
    for (;;) {
        if (!wait_for_input(tty))
            return nullptr;
        char typed = 0;
        ssize_t got = read(tty, &typed, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return nullptr;
        Typed done = edit(typing, static_cast<unsigned char>(typed), terminal);
        explicit_bzero(&typed, 1);
        if (done == Typed::Entered)
            return copy_password(typing.line, true);
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

bool is_ignored(int signo) {
    struct sigaction action {};
    sigset_t blocked;
    sigemptyset(&blocked);
    return sigaction(signo, nullptr, &action) != 0 || action.sa_handler == SIG_IGN ||
           (pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 && sigismember(&blocked, signo));
}

// The terminal belongs to the foreground job: in the background, we stop
// as the kernel stops a background reader, until brought to the
// foreground. Where that stop is ignored or cannot happen, the terminal is
// left alone.
bool in_foreground(int tty) {
    if (tcgetpgrp(tty) == getpgrp())
        return true;
    if (is_ignored(SIGTTIN))
        return false;
    kill(0, SIGTTIN);
    return tcgetpgrp(tty) == getpgrp();
}

char *read_entered(int tty, const char *prompt, bool controlling) {
    for (;;) {
        if (controlling && !in_foreground(tty))
            return nullptr;
        Watch watch;
        if (!watch_signals(watch))
            return nullptr;
        bool quiet = tcgetattr(tty, &tty_before) == 0;
        // Echo off, and every key read as it is typed and applied here,
        // signal keys included.
        struct termios silent = tty_before;
        if (quiet) {
            silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG);
            silent.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);
            silent.c_cc[VMIN] = 1;
            silent.c_cc[VTIME] = 0;
            quiet_tty = tty;
            echo_off = 1;
            quiet = tcsetattr(tty, TCSAFLUSH, &silent) == 0;
        }
        write_all(tty, prompt);
        Typing typing;
        char *password = read_typed(tty, typing, tty_before);
        write_all(tty, "\n");
        if (quiet)
            tcsetattr(tty, TCSAFLUSH, &tty_before);
        echo_off = 0;
        unwatch_signals(watch);
        if (typing.signal == 0 && !deliver_stop())
            return password;
        free_password(password);
        if (typing.signal != 0) {
            // As the kernel signals the foreground job: ours is its own
            // where the terminal is not our controlling one.
            kill(0, typing.signal);
            if (typing.signal != SIGTSTP)
                return nullptr; // ignored
        }
    }
}

} // namespace

char *read_at_terminal(int tty, const char *prompt, std::optional<pid_t> parent) {
    // A terminal not our controlling one is shared with whoever waits for
    // us: while we ask, we end with our parent, and ask nothing once it is
    // gone.
    if (parent && (prctl(PR_SET_PDEATHSIG, SIGHUP) != 0 || getppid() != *parent))
        return nullptr;
    char *password = read_entered(tty, prompt, !parent);
    if (parent)
        prctl(PR_SET_PDEATHSIG, 0);
    return password;
}

PasswordSource::PasswordSource(const char *given) : given_(given), parent_(getppid()) {
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
    typed.reset(terminal_ < 0 ? read_from(STDIN_FILENO)
                              : read_at_terminal(terminal_, prompt,
                                                 opened_ ? std::nullopt : std::optional(parent_)));
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
