#include "harness.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string text_of(GBytes *bytes) {
    if (bytes == nullptr)
        return {};
    gsize size = 0;
    const auto *data = static_cast<const char *>(g_bytes_get_data(bytes, &size));
    return {data, size};
}

} // namespace

Run spawn(const std::vector<std::string> &args, const Launch &launch) {
    g_autoptr(GSubprocessLauncher) launcher =
        g_subprocess_launcher_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE |
                                                                G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                                G_SUBPROCESS_FLAGS_STDERR_PIPE));
    // A session of its own: no controlling terminal, as in a script.
    g_subprocess_launcher_set_child_setup(
        launcher, [](gpointer) { setsid(); }, nullptr, nullptr);
    for (const auto &[name, value] : launch.env)
        g_subprocess_launcher_setenv(launcher, name.c_str(), value.c_str(), TRUE);
    for (const auto &name : launch.unset)
        g_subprocess_launcher_unsetenv(launcher, name.c_str());
    if (!launch.cwd.empty())
        g_subprocess_launcher_set_cwd(launcher, launch.cwd.c_str());

    std::vector<const char *> argv;
    for (const auto &arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);

    g_autoptr(GError) error = nullptr;
    g_autoptr(GSubprocess) process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
    if (process == nullptr) {
        ADD_FAILURE() << error->message;
        return {};
    }
    if (launch.started)
        launch.started(std::stoi(g_subprocess_get_identifier(process)));
    // Waits in a context of its own, so that a program that hangs is
    // killed after the limit instead of holding the whole suite.
    struct Wait {
        GMainContext *context = g_main_context_new();
        GBytes *out = nullptr;
        GBytes *err = nullptr;
        bool done = false;
        bool killed = false;
    } wait;
    g_main_context_push_thread_default(wait.context);
    g_autoptr(GBytes) input = g_bytes_new(launch.input.data(), launch.input.size());
    g_subprocess_communicate_async(
        process, input, nullptr,
        [](GObject *source, GAsyncResult *result, gpointer data) {
            auto &wait = *static_cast<Wait *>(data);
            g_autoptr(GError) error = nullptr;
            if (!g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &wait.out, &wait.err,
                                                 &error))
                ADD_FAILURE() << error->message;
            wait.done = true;
        },
        &wait);
    g_autoptr(GSource) limit = g_timeout_source_new_seconds(launch.limit_seconds);
    struct Limit {
        GSubprocess *process;
        bool *killed;
    } on_limit{process, &wait.killed};
    g_source_set_callback(
        limit,
        [](gpointer data) {
            auto *limit = static_cast<Limit *>(data);
            *limit->killed = true;
            g_subprocess_force_exit(limit->process);
            return G_SOURCE_REMOVE;
        },
        &on_limit, nullptr);
    g_source_attach(limit, wait.context);
    while (!wait.done)
        g_main_context_iteration(wait.context, TRUE);
    // Released while its context still lives: a source that outlives its
    // context touches freed memory when it goes.
    g_source_destroy(limit);
    g_clear_pointer(&limit, g_source_unref);
    g_subprocess_wait(process, nullptr, nullptr);
    g_main_context_pop_thread_default(wait.context);
    g_main_context_unref(wait.context);
    if (wait.killed)
        ADD_FAILURE() << args[0] << " did not end within " << launch.limit_seconds << " s";
    Run run;
    run.out = text_of(wait.out);
    run.err = text_of(wait.err);
    g_clear_pointer(&wait.out, g_bytes_unref);
    g_clear_pointer(&wait.err, g_bytes_unref);
    run.status = g_subprocess_get_if_exited(process) ? g_subprocess_get_exit_status(process)
                                                     : -g_subprocess_get_term_sig(process);
    return run;
}

Run brassbox(const std::vector<std::string> &args, const Launch &launch) {
    std::vector<std::string> argv{launch.argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(argv, launch);
}

Run shell(const std::string &script, const Launch &launch) {
    Launch with_binary = launch;
    with_binary.env.emplace_back("BRASSBOX", BRASSBOX_BIN);
    return spawn({"/bin/sh", "-c", script}, with_binary);
}

std::vector<std::string> keyring_names() {
    auto run = brassbox({"--list"});
    EXPECT_EQ(run.status, 1) << run.err;
    std::vector<std::string> names;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        names.push_back(line);
    std::sort(names.begin(), names.end());
    return names;
}

std::string keyrings_dir() {
    return std::string(getenv("XDG_DATA_HOME")) + "/keyrings";
}

bool exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

namespace {

// The bus's answer to a question about the keyring service's name.
GVariant *ask_bus_about_service(const char *method, const char *answer_type, GError **error) {
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error);
    if (bus == nullptr)
        return nullptr;
    return g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE(answer_type),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, error);
}

} // namespace

pid_t daemon_pid() {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = ask_bus_about_service("GetConnectionUnixProcessID", "(u)", &error);
    if (reply == nullptr) {
        ADD_FAILURE() << error->message;
        return -1;
    }
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    return static_cast<pid_t>(pid);
}

bool daemon_serves() {
    g_autoptr(GVariant) reply = ask_bus_about_service("NameHasOwner", "(b)", nullptr);
    gboolean owned = FALSE;
    if (reply != nullptr)
        g_variant_get(reply, "(b)", &owned);
    return owned != FALSE;
}

Terminal::Terminal(const std::vector<std::string> &args, TerminalSetup setup) {
    std::vector<char *> argv{const_cast<char *>(BRASSBOX_BIN)};
    for (const auto &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    int terminal = -1;
    if (openpty(&master_, &terminal, nullptr, nullptr, nullptr) != 0)
        return;
    // A terminal of today reads UTF-8.
    termios modes{};
    if (tcgetattr(terminal, &modes) == 0) {
        modes.c_iflag |= IUTF8;
        if (setup.raw)
            cfmakeraw(&modes);
        tcsetattr(terminal, TCSANOW, &modes);
    }
    pid_ = fork();
    if (pid_ == 0) {
        // Without a controlling terminal, as after setsid(1); or with it.
        setsid();
        if (setup.controlling)
            ioctl(terminal, TIOCSCTTY, 0);
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
            dup2(terminal, fd);
        if (setup.output_elsewhere)
            dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), STDOUT_FILENO);
        close(master_);
        close(terminal);
        // As from a login shell: nothing ignored or blocked (GIO ignores
        // SIGPIPE here), but what the test leaves ignored.
        for (int signo = 1; signo < NSIG; signo++)
            signal(signo, signo == setup.ignored ? SIG_IGN : SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (setup.background) {
            // As `(trap '' TTOU TTIN; exec brassbox ...) &` from a shell.
            if (pid_t job = fork(); job != 0) {
                int status = 0;
                waitpid(job, &status, 0);
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            }
            setpgid(0, 0);
            signal(SIGTTOU, SIG_IGN);
            signal(SIGTTIN, SIG_IGN);
        }
        if (setup.under_shell) {
            argv.insert(argv.begin(), {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"),
                                       const_cast<char *>("\"$0\" \"$@\"; exit $?")});
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    slave_ = terminal;
}

Terminal::~Terminal() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait();
    }
    close(slave_);
    close(master_);
}

std::string Terminal::read_until(const std::string &until) {
    for (int waited = 0; shown_.find(until) == std::string::npos && waited < 5000;) {
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            waited += 100;
            continue;
        }
        char buf[4096];
        ssize_t got = read(master_, buf, sizeof buf);
        if (got <= 0)
            break;
        shown_.append(buf, static_cast<size_t>(got));
    }
    return shown_;
}

void Terminal::type(const std::string &text) {
    ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

bool Terminal::echoes() {
    termios settings{};
    tcgetattr(master_, &settings);
    return (settings.c_lflag & ECHO) != 0;
}

bool Terminal::raw() {
    termios settings{};
    tcgetattr(master_, &settings);
    return (settings.c_lflag & (ECHO | ICANON | ISIG)) == 0;
}

void Terminal::echo_on() {
    termios settings{};
    tcgetattr(master_, &settings);
    settings.c_lflag |= ECHO;
    tcsetattr(master_, TCSANOW, &settings);
}

std::string Terminal::pending_input() {
    termios raw{};
    tcgetattr(slave_, &raw);
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(slave_, TCSANOW, &raw);
    std::string pending;
    char buf[256];
    for (ssize_t got; (got = read(slave_, buf, sizeof buf)) > 0;)
        pending.append(buf, static_cast<size_t>(got));
    return pending;
}

int Terminal::wait() {
    int status = 0;
    // A program that outlives ten seconds here hangs: it is killed, and
    // its status says so.
    for (int tries = 0; waitpid(pid_, &status, WNOHANG) != pid_; tries++) {
        if (tries == 1000) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return status;
}
