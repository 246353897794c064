#include "prompt.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Longer input is not a password; refusing it bounds what a stray
// endless stream (`< /dev/zero`) can make us hold.
constexpr size_t kMaxPassword = 16 * 1024 * 1024;

constexpr std::array kWatchedSignals = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,
                                        SIGTSTP, SIGTTIN, SIGTTOU, SIGALRM};

volatile sig_atomic_t caught[NSIG];

void note_signal(int signo) {
    caught[signo] = 1;
}

// A growing buffer that wipes every byte it gives back.
class Line {
  public:
    Line() = default;
    ~Line() { release(); }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool append(std::string_view bytes) {
        if (size_ + bytes.size() > kMaxPassword)
            return false;
        if (size_ + bytes.size() > capacity_) {
            size_t capacity = std::max(capacity_ * 2, size_ + bytes.size());
            auto *grown = static_cast<char *>(g_malloc(capacity));
            if (size_ > 0)
                memcpy(grown, bytes_, size_);
            release();
            bytes_ = grown;
            capacity_ = capacity;
        }
        memcpy(bytes_ + size_, bytes.data(), bytes.size());
        size_ += bytes.size();
        return true;
    }
    std::string_view view() const { return {bytes_, size_}; }

  private:
    void release() {
        if (bytes_ != nullptr)
            explicit_bzero(bytes_, capacity_);
        g_free(bytes_);
        bytes_ = nullptr;
        size_ = 0;
        capacity_ = 0;
    }
    char *bytes_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Reads up to the first newline (not kept) or the end of input. False on
// a read error, a signal, or a line too long; true with nothing read only
// for an empty line.
bool read_line(int fd, Line &line, bool &at_end) {
    std::array<char, 4096> chunk{};
    at_end = false;
    for (;;) {
        ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            for (int signo : kWatchedSignals) {
                if (caught[signo] != 0)
                    return false;
            }
            continue;
        }
        if (got < 0)
            return false;
        if (got == 0) {
            at_end = true;
            return true;
        }
        std::string_view bytes(chunk.data(), static_cast<size_t>(got));
        auto end = bytes.find('\n');
        bool ok = line.append(bytes.substr(0, end));
        explicit_bzero(chunk.data(), chunk.size());
        if (!ok || end != std::string_view::npos)
            return ok;
    }
}

char *copy_password(const Line &line, bool complete) {
    auto text = line.view();
    if (!complete || text.find('\0') != std::string_view::npos)
        return nullptr;
    return g_strndup(text.data(), text.size());
}

char *read_from(int fd) {
    Line line;
    bool at_end = false;
    bool ok = read_line(fd, line, at_end);
    // End of input with nothing read is no password; an empty line is one.
    return copy_password(line, ok && !(at_end && line.view().empty()));
}

struct Watch {
    std::array<struct sigaction, kWatchedSignals.size()> saved{};
};

void watch_signals(Watch &watch) {
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal must interrupt the read.
    for (size_t i = 0; i < kWatchedSignals.size(); i++) {
        caught[kWatchedSignals[i]] = 0;
        sigaction(kWatchedSignals[i], &action, &watch.saved[i]);
    }
}

void unwatch_signals(const Watch &watch) {
    for (size_t i = 0; i < kWatchedSignals.size(); i++)
        sigaction(kWatchedSignals[i], &watch.saved[i], nullptr);
}

// Delivers what arrived while we waited, now that the terminal is sane.
// True when the process was stopped and continued: ask again.
bool deliver_caught_signals() {
    bool stopped = false;
    for (int signo : kWatchedSignals) {
        if (caught[signo] == 0)
            continue;
        caught[signo] = 0;
        kill(getpid(), signo);
        stopped = stopped || signo == SIGTSTP || signo == SIGTTIN || signo == SIGTTOU;
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
        watch_signals(watch);
        struct termios saved {};
        bool quiet = tcgetattr(tty, &saved) == 0;
        if (quiet) {
            struct termios silent = saved;
            silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
            silent.c_lflag |= ICANON | ISIG;
            quiet = tcsetattr(tty, TCSAFLUSH, &silent) == 0;
        }
        write_all(tty, prompt);
        char *password = read_from(tty);
        write_all(tty, "\n");
        if (quiet)
            tcsetattr(tty, TCSAFLUSH, &saved);
        unwatch_signals(watch);
        if (!deliver_caught_signals())
            return password;
        free_password(password);
    }
}

} // namespace

char *read_password(const char *prompt) {
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0)
        return read_from(STDIN_FILENO);
    char *password = read_from_terminal(tty, prompt);
    close(tty);
    return password;
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
