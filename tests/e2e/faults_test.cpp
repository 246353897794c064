// When the daemon, the bus or the output fail, and input nobody should
// type: always one clear line and a status, never a crash or a hang.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
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

// Connecting, finding the daemon and the request share one time limit:
// a bus that wakes after 4 s leaves the request 6 s, and a daemon that
// wakes after 13 s has missed them, and gets no change that it could
// carry out after the failure was said.
TEST(Faults, FrozenBusThenFrozenDaemonShareOneTimeLimit) {
    ASSERT_EQ(brassbox({"-c", "work", "-p", "pw"}).status, 1);
    pid_t daemon = daemon_pid();
    pid_t bus = 0;
    std::ifstream(std::string(getenv("HOME")) + "/bus.pid") >> bus;
    ASSERT_GT(bus, 0);
    kill(daemon, SIGSTOP);
    kill(bus, SIGSTOP);
    std::thread waker([=] {
        std::this_thread::sleep_for(std::chrono::seconds(4));
        kill(bus, SIGCONT);
        std::this_thread::sleep_for(std::chrono::seconds(9));
        kill(daemon, SIGCONT);
    });
    auto run = brassbox({"-d", "work"});
    waker.join();
    EXPECT_EQ(run.err, error_line(6));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(keyring_names(), (std::vector<std::string>{"session", "work"}));
}

TEST(Faults, DaemonKilledDuringTheRequest) {
    Terminal tty({"-c", "work"});
    // The prompt shows that brassbox has found the daemon.
    ASSERT_NE(tty.read_until("keyring: ").find("keyring: "), std::string::npos);
    pid_t daemon = daemon_pid();
    kill(daemon, SIGSTOP);
    tty.type("pw\n");
    // The request is sent to the stopped daemon, which then dies.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(daemon, SIGKILL);
    auto failure = error_line(6);
    failure.replace(failure.size() - 1, 1, "\r\n"); // as the terminal shows it
    EXPECT_NE(tty.read_until(failure).find(failure), std::string::npos);
    int status = tty.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A socket that takes connections and never says a word: it leaves them
// waiting, or closes each at once.
class MuteBus {
public:
    explicit MuteBus(bool closes)
        : path_(std::string(getenv("XDG_RUNTIME_DIR")) +
                (closes ? "/closing-bus" : "/silent-bus")) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        EXPECT_EQ(listen(fd_, 16), 0);
        if (closes)
            closer_ = std::thread([fd = fd_] {
                for (int client; (client = accept(fd, nullptr, nullptr)) >= 0;)
                    close(client);
            });
    }
    ~MuteBus() {
        shutdown(fd_, SHUT_RDWR); // ends the accept() of the closer
        if (closer_.joinable())
            closer_.join();
        close(fd_);
        unlink(path_.c_str());
    }
    MuteBus(const MuteBus &) = delete;
    MuteBus &operator=(const MuteBus &) = delete;
    std::string address() const { return "unix:path=" + path_; }

private:
    std::string path_;
    int fd_ = -1;
    std::thread closer_;
};

// However the bus cannot be reached, the line is the same, every time.
TEST(Faults, BusesThatCannotBeReachedMeanNoDaemon) {
    MuteBus silent(false);
    MuteBus closing(true);
    for (const auto &address :
         {silent.address(), closing.address(), std::string("tcp:host=127.0.0.1,port=1"),
          std::string("unixexec:path=/bin/true")}) {
        for (int run = 0; run < (address == silent.address() ? 1 : 10); run++) {
            auto said =
                brassbox({"-c", "work", "-p", "pw"},
                         {.env = {{"DBUS_SESSION_BUS_ADDRESS", address}}, .limit_seconds = 40});
            EXPECT_EQ(said.err, error_line(2)) << address;
            EXPECT_EQ(said.status, 0);
        }
    }
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
    EXPECT_EQ(shell("\"$BRASSBOX\" -s session 2>/dev/full").status, 1);
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
            // Too long for an object path, and no keyring's label either.
            if (name.size() > 65536 && command[0] != "-c") {
                EXPECT_EQ(run.err, error_line(4));
            }
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

// Runs every command at once.
std::vector<Run> all_at_once(const std::vector<std::vector<std::string>> &commands) {
    std::vector<Run> runs(commands.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < commands.size(); i++)
        threads.emplace_back([&, i] { runs[i] = brassbox(commands[i]); });
    for (auto &thread : threads)
        thread.join();
    return runs;
}

std::set<std::string> listed() {
    auto names = keyring_names();
    return {names.begin(), names.end()};
}

// Racers that all passed the check for the name before any of them created
// it: one wins, the others take theirs back.
TEST(Load, ConcurrentCreatesOfOneNameHaveOneWinner) {
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        std::vector<std::vector<std::string>> racers;
        for (int i = 0; i < 12; i++)
            racers.push_back({"-c", "same", "-p", "pw" + std::to_string(i)});
        auto runs = all_at_once(racers);
        int winner = -1;
        for (int i = 0; i < static_cast<int>(runs.size()); i++) {
            if (runs[i].status == 1) {
                EXPECT_EQ(winner, -1) << "two winners";
                EXPECT_EQ(runs[i].err, "Created 'same' keyring.\n");
                winner = i;
            } else {
                EXPECT_EQ(runs[i].err, error_line(8));
                EXPECT_EQ(runs[i].status, 0);
            }
        }
        ASSERT_NE(winner, -1);
        EXPECT_EQ(listed(), (std::set<std::string>{"same", "session"}));
        brassbox({"-l", "same"});
        EXPECT_EQ(brassbox({"-u", "same", "-p", "pw" + std::to_string(winner)}).status, 1);
        EXPECT_EQ(brassbox({"-d", "same"}).status, 1);
    }
}

// gnome-keyring aborts when it serves a new client's read before admitting
// the client, and comes back with every keyring locked: readers that start
// together, as a login's first commands do, must never bring that about.
TEST(Load, ReadersStartingTogetherLeaveTheKeyringOpen) {
    ASSERT_EQ(brassbox({"-c", "open", "-p", "pw"}).status, 1);
    const std::vector<std::vector<std::string>> readers(8, {"-i", "open"});
    // Up to 400 rounds, as many as a minute allows: on a machine loaded, or
    // under the sanitizers, fewer rather than a test out of its time.
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (int round = 0; round < 400 && std::chrono::steady_clock::now() < until; round++) {
        for (const auto &run : all_at_once(readers))
            ASSERT_TRUE(run.out.starts_with("Keyring locked : no\n"))
                << round << ": " << run.out << run.err;
    }
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
        EXPECT_EQ(runs[i].status, 1) << names[i] << ": " << runs[i].err;
        created.insert(names[i]);
    }
    EXPECT_EQ(listed(), created);

    runs = all_at_once(mixed);
    for (int i = 0; i < kCount; i++) {
        EXPECT_TRUE(runs[i].status == 0 || runs[i].status == 1) << runs[i].err;
        std::istringstream lines(i % 5 == 0 ? runs[i].out : "");
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(created.contains(line)) << "listed " << line;
    }

    runs = all_at_once(deletes);
    for (int i = 0; i < kCount; i++)
        EXPECT_EQ(runs[i].status, 1) << names[i] << ": " << runs[i].err;
    EXPECT_EQ(listed(), std::set<std::string>{"session"});
}

} // namespace
