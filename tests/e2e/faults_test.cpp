// When the daemon, the bus or the output fail, and input nobody should
// type: always one clear line and a status, never a crash or a hang.
#include "harness.h"

#include <csignal>
#include <filesystem>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

TEST(Faults, UnsetBusAddressWithoutDisplayMeansNoDaemon) {
    Launch lost{.env = {{"XDG_RUNTIME_DIR", "/nonexistent"}},
                .unset = {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY"}};
    auto run = brassbox({"-c", "work"}, lost);
    EXPECT_EQ(run.err, error_line(2));
    EXPECT_EQ(run.status, 0);
}

TEST(Faults, BusStartsTheDaemonOnDemand) {
    auto run = spawn({PRIVATE_KEYRING, "--no-daemon", BRASSBOX_BIN, "-t"});
    EXPECT_EQ(run.out, "session\n");
    EXPECT_EQ(run.status, 1);
}

TEST(Faults, FrozenDaemonTimesOut) {
    pid_t daemon = daemon_pid();
    kill(daemon, SIGSTOP);
    auto run = brassbox({"-l", "session"});
    kill(daemon, SIGCONT);
    EXPECT_EQ(run.err, error_line(6));
    EXPECT_EQ(run.status, 0);
}

TEST(Faults, DaemonKilledDuringTheRequest) {
    const char *argv[] = {BRASSBOX_BIN, "-c", "work", nullptr};
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSubprocess) process =
        g_subprocess_newv(argv,
                          static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE |
                                                        G_SUBPROCESS_FLAGS_STDERR_PIPE),
                          &error);
    ASSERT_NE(process, nullptr);
    // brassbox has found the daemon and waits for the password.
    std::string wchan = "/proc/" + std::string(g_subprocess_get_identifier(process)) + "/wchan";
    ASSERT_TRUE(eventually([&] {
        g_autofree char *waiting = nullptr;
        return g_file_get_contents(wchan.c_str(), &waiting, nullptr, nullptr) &&
               strstr(waiting, "pipe_read") != nullptr;
    }));
    pid_t daemon = daemon_pid();
    kill(daemon, SIGSTOP);
    g_autoptr(GBytes) password = g_bytes_new_static("pw\n", 3);
    g_autoptr(GBytes) err = nullptr;
    // The request is sent to the stopped daemon, which then dies.
    std::thread killer([daemon] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(daemon, SIGKILL);
    });
    g_subprocess_communicate(process, password, nullptr, nullptr, &err, &error);
    killer.join();
    gsize size = 0;
    const char *text = static_cast<const char *>(g_bytes_get_data(err, &size));
    EXPECT_EQ(std::string(text, size), error_line(6));
    EXPECT_EQ(g_subprocess_get_exit_status(process), 0);
}

TEST(Faults, OutputThatCannotBeWrittenIsAFailure) {
    brassbox({"-s", "session"});
    for (const char *command : {"-t", "-g", "-i session"}) {
        auto run = shell(std::string("\"$BRASSBOX\" ") + command + " >/dev/full");
        EXPECT_EQ(run.err, "ERROR: Cannot write output: No space left on device\n") << command;
        EXPECT_EQ(run.status, 0);
        run = shell(std::string("\"$BRASSBOX\" ") + command + " >&-");
        EXPECT_EQ(run.err, "ERROR: Cannot write output: Bad file descriptor\n") << command;
        EXPECT_EQ(run.status, 0);
    }
    EXPECT_EQ(shell("\"$BRASSBOX\" -l session 2>/dev/full").status, 1);
    EXPECT_EQ(shell("\"$BRASSBOX\" -l nosuch 2>&-").status, 0);
}

std::set<std::string> files_under(const std::string &top) {
    std::set<std::string> found;
    for (const auto &entry : fs::recursive_directory_iterator(top))
        found.insert(entry.path().string());
    return found;
}

TEST(BadInput, EveryCommandGivesOneLineOrWorks) {
    const std::string home = getenv("HOME");
    const std::string keyrings = keyrings_dir();
    auto before = files_under(home);
    const std::vector<std::string> names = {"",        "\xff\xfe",    std::string(100000, 'n'),
                                            "a/b",     "..",          "../../x",
                                            "my keys", "line\nbreak", "-t",
                                            "--list"};
    const std::vector<std::vector<std::string>> commands = {
        {"-c"}, {"-s"}, {"-i"}, {"-l"}, {"-u", "-p", "pw"}, {"-d"}};
    std::set<std::string> allowed = {
        "", error_line(1), error_line(4), error_line(5), error_line(6), error_line(8)};
    for (const auto &name : names) {
        for (auto command : commands) {
            command.insert(command.begin() + 1, name);
            if (command[0] == "-c")
                command.insert(command.end(), {"-p", "pw"});
            auto run = brassbox(command);
            SCOPED_TRACE(command[0] + " " + name.substr(0, 20));
            ASSERT_TRUE(run.status == 0 || run.status == 1) << run.err;
            if (run.status == 0)
                EXPECT_TRUE(allowed.contains(run.err)) << run.err;
            else if (command[0] == "-i")
                EXPECT_EQ(run.err, "");
            else
                EXPECT_NE(run.err.find("'" + name + "'"), std::string::npos);
        }
    }
    // Keyrings made from odd names stay in the daemon's folder.
    for (const auto &file : files_under(home)) {
        bool expected = before.contains(file) || file.starts_with(keyrings + "/") ||
                        file.starts_with(home + "/run/");
        EXPECT_TRUE(expected) << file;
    }
    // Every name in the list is whole: one line, found again by that name.
    for (const auto &listed : keyring_names())
        EXPECT_EQ(brassbox({"-i", listed}).status, 1) << listed;
}

TEST(BadInput, NamesThatCannotBeCreatedAreRefusedBeforeSending) {
    EXPECT_EQ(brassbox({"-c", "", "-p", "pw"}).err, error_line(5));
    EXPECT_EQ(brassbox({"-c", "\xff", "-p", "pw"}).err, error_line(5));
    EXPECT_EQ(keyring_names(), std::vector<std::string>{"session"});
}

} // namespace

namespace {

// Starts every command at once, then collects them all.
std::vector<Run> all_at_once(const std::vector<std::vector<std::string>> &commands) {
    std::vector<GSubprocess *> processes;
    for (const auto &args : commands) {
        std::vector<const char *> argv{BRASSBOX_BIN};
        for (const auto &arg : args)
            argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        processes.push_back(
            g_subprocess_newv(argv.data(),
                              static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                            G_SUBPROCESS_FLAGS_STDERR_PIPE),
                              nullptr));
    }
    std::vector<Run> runs;
    for (GSubprocess *process : processes) {
        Run run;
        g_autofree char *out = nullptr;
        g_autofree char *err = nullptr;
        if (process != nullptr &&
            g_subprocess_communicate_utf8(process, nullptr, nullptr, &out, &err, nullptr)) {
            run.out = out;
            run.err = err;
            run.status = g_subprocess_get_exit_status(process);
        }
        g_clear_object(&process);
        runs.push_back(run);
    }
    return runs;
}

std::set<std::string> listed() {
    auto names = keyring_names();
    return {names.begin(), names.end()};
}

TEST(Load, FiftyAtOnceLoseNothing) {
    constexpr int kCount = 50;
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> creates, mixed, deletes;
    for (int i = 0; i < kCount; i++) {
        names.push_back("load" + std::to_string(i));
        std::string password = "pw" + std::to_string(i);
        creates.push_back({"-c", names[i], "-p", password});
        std::vector<std::vector<std::string>> kinds = {
            {"-t"}, {"-l", names[i]}, {"-u", names[i], "-p", password}, {"-i", names[i]}, {"-g"}};
        mixed.push_back(kinds[i % kinds.size()]);
        deletes.push_back({"-d", names[i]});
    }

    std::set<std::string> created{"session"};
    auto runs = all_at_once(creates);
    for (int i = 0; i < kCount; i++) {
        if (runs[i].status == 1)
            created.insert(names[i]);
        else
            EXPECT_EQ(runs[i].err, error_line(6)) << names[i];
    }
    EXPECT_GE(created.size(), kCount / 2U) << "most creates should get through";
    EXPECT_EQ(listed(), created);

    runs = all_at_once(mixed);
    for (int i = 0; i < kCount; i++) {
        EXPECT_TRUE(runs[i].status == 0 || runs[i].status == 1) << runs[i].err;
        std::istringstream lines(i % 5 == 0 ? runs[i].out : "");
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(created.contains(line)) << "listed " << line;
    }

    runs = all_at_once(deletes);
    std::set<std::string> left = created;
    for (int i = 0; i < kCount; i++) {
        if (runs[i].status == 1) {
            EXPECT_EQ(left.erase(names[i]), 1U) << "deleted what was never created";
        }
    }
    EXPECT_EQ(listed(), left);
}

} // namespace
