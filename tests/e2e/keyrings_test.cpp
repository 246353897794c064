// The keyring commands against a real daemon.
#include "harness.h"

#include <csignal>
#include <fstream>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <tuple>

namespace {

using Names = std::vector<std::string>;

void expect_ok(const Run &run, const std::string &err, const std::string &out = "") {
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.status, 1);
}

void expect_error(const Run &run, int code) {
    EXPECT_EQ(run.err, error_line(code));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
}

void create(const std::string &name, const std::string &password = "pw") {
    expect_ok(brassbox({"-c", name, "-p", password}), "Created '" + name + "' keyring.\n");
}

bool is_locked(const std::string &name) {
    auto run = brassbox({"--info=" + name});
    EXPECT_EQ(run.status, 1) << run.err;
    return run.out.starts_with("Keyring locked : yes\n");
}

TEST(DefaultKeyring, NoneOnAFreshDaemonThenTheOneSet) {
    auto run = brassbox({"-g"});
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(run.status, 0);

    create("work");
    expect_ok(brassbox({"--setdef=work"}), "Set 'work' keyring as default.\n");
    expect_ok(brassbox({"--getdef"}), "", "work\n");
}

TEST(DefaultKeyring, ConfirmationRepeatsTheNameAsTyped) {
    create("my keys");
    expect_ok(brassbox({"-s", "my keys"}), "Set 'my keys' keyring as default.\n");
    expect_ok(brassbox({"-g"}), "", "my_keys\n");
}

TEST(Keyrings, MissingKeyringIsCodeFourForEveryCommand) {
    for (auto args : std::vector<std::vector<std::string>>{{"--setdef=nosuch"},
                                                           {"--info=nosuch"},
                                                           {"-l", "nosuch"},
                                                           {"-d", "nosuch"},
                                                           {"-u", "nosuch", "-p", "pw"}})
        expect_error(brassbox(args), 4);
}

TEST(Info, ReportOfUnlockedAndLockedKeyring) {
    create("work");
    const char *report = "^Keyring locked : (yes|no)\n"
                         "Auto lock on idle : no\n"
                         "Auto lock idle timeout : 0 \\(in sec\\)\n"
                         "Keyring created on : [0-9-]{10} [0-9:]{8} \\+0000 \\([A-Z][a-z]{2}, "
                         "[0-9]{2} [A-Z][a-z]{2} [0-9]{4}\\)\n"
                         "Keyring modified on : [0-9-]{10} [0-9:]{8} \\+0000 \\(.*\\)\n$";
    Launch utc{.env = {{"TZ", "UTC"}}};
    auto run = brassbox({"-i", "work"}, utc);
    EXPECT_TRUE(g_regex_match_simple(report, run.out.c_str(), G_REGEX_MULTILINE, {})) << run.out;
    EXPECT_TRUE(run.out.starts_with("Keyring locked : no\n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 1);

    brassbox({"-l", "work"});
    run = brassbox({"-i", "work"}, utc);
    EXPECT_TRUE(g_regex_match_simple(report, run.out.c_str(), G_REGEX_MULTILINE, {})) << run.out;
    EXPECT_TRUE(run.out.starts_with("Keyring locked : yes\n"));
}

TEST(Info, TimesShowTheLocalZoneOffset) {
    auto run = brassbox({"-i", "session"}, {.env = {{"TZ", "Asia/Kolkata"}}});
    EXPECT_NE(run.out.find("Keyring modified on : "), std::string::npos);
    EXPECT_NE(run.out.find(" +0530 ("), std::string::npos) << run.out;
    EXPECT_EQ(run.status, 1);
}

TEST(Keyrings, NameWithSpaceIsFoundByThatName) {
    create("my keys");
    EXPECT_EQ(keyring_names(), (Names{"my_keys", "session"}));
    expect_ok(brassbox({"--lock=my keys"}), "Locked 'my keys' keyring.\n");
    EXPECT_TRUE(is_locked("my keys"));
    expect_ok(brassbox({"-u", "my keys", "-p", "pw"}), "Unlocked 'my keys' keyring.\n");
    expect_ok(brassbox({"-d", "my keys"}), "Deleted 'my keys' keyring.\n");
    EXPECT_EQ(keyring_names(), Names{"session"});
}

// Any process may name a keyring with escape sequences; on a terminal they
// are shown, not obeyed: in UTF-8, C1 characters; in any other character
// set, every byte 0x80-0x9f (0x9b: CSI), also inside what would be a UTF-8
// letter. Into a pipe the bytes stay as they are.
TEST(Keyrings, ControlCharactersReachATerminalEscaped) {
    const std::string name = "\x1b]0;PWNED\x07\x1b[2J\xc2\x9bx\x7f\xc3\x9b";
    create(name);
    EXPECT_NE(brassbox({"-t"}).out.find(name + "\n"), std::string::npos);
    expect_ok(brassbox({"-s", name}), "Set '" + name + "' keyring as default.\n");
    expect_ok(brassbox({"-g"}), "", name + "\n");
    for (const auto &[locale, shown, obeyed] :
         {std::tuple{"C.UTF-8", "\\x1b]0;PWNED\\x07\\x1b[2J\\xc2\\x9bx\\x7f\xc3\x9b",
                     "\x1b\x07\x7f"},
          std::tuple{"C", "\\x1b]0;PWNED\\x07\\x1b[2J\xc2\\x9bx\\x7f\xc3\\x9b",
                     "\x1b\x07\x7f\x9b"}}) {
        setenv("LC_ALL", locale, 1);
        for (const auto &[args, expected] :
             std::vector<std::pair<std::vector<std::string>, std::string>>{
                 {{"-t"}, std::string(shown) + "\r\n"},
                 {{"-g"}, std::string(shown) + "\r\n"},
                 {{"-l", name}, "Locked '" + std::string(shown) + "' keyring.\r\n"},
                 {{"-u", name}, "Enter password for '" + std::string(shown) + "' keyring: "}}) {
            // A confirmation is escaped for the error stream, whatever
            // standard output is.
            Terminal tty(args, {.output_elsewhere = args[0] == "-l"});
            auto seen = tty.read_until(expected);
            EXPECT_NE(seen.find(expected), std::string::npos) << locale << ": " << seen;
            EXPECT_EQ(seen.find_first_of(obeyed), std::string::npos) << locale << ": " << seen;
        }
    }
    unsetenv("LC_ALL");
}

TEST(Lifecycle, CreateLockUnlockDelete) {
    create("work", "right");
    EXPECT_EQ(keyring_names(), (Names{"session", "work"}));
    EXPECT_TRUE(exists(keyrings_dir() + "/work.keyring"));

    expect_error(brassbox({"-c", "work", "-p", "other"}), 8);
    EXPECT_EQ(keyring_names(), (Names{"session", "work"}));

    for (int twice = 0; twice < 2; twice++)
        expect_ok(brassbox({"-l", "work"}), "Locked 'work' keyring.\n");
    EXPECT_TRUE(is_locked("work"));
    expect_error(brassbox({"-u", "work", "-p", "right", "-p", "wrong"}), 1); // the last -p
    EXPECT_TRUE(is_locked("work"));
    expect_ok(brassbox({"-u", "work", "-p", "right"}), "Unlocked 'work' keyring.\n");
    EXPECT_FALSE(is_locked("work"));
    expect_ok(brassbox({"-u", "work", "-p", "right"}), "Unlocked 'work' keyring.\n");

    expect_ok(brassbox({"-d", "work"}), "Deleted 'work' keyring.\n");
    EXPECT_EQ(keyring_names(), Names{"session"});
    EXPECT_TRUE(eventually([] { return !exists(keyrings_dir() + "/work.keyring"); }));
}

TEST(Lifecycle, UnusualPasswordsRoundTrip) {
    const std::string passwords[] = {"", "caf\xe9 \xff\xfe", std::string(10000, 'k')};
    int n = 0;
    for (const auto &password : passwords) {
        std::string name = "pw" + std::to_string(n++);
        create(name, password);
        brassbox({"-l", name});
        // The daemon keeps a keyring without password unencrypted; any password opens it.
        if (!password.empty())
            expect_error(brassbox({"-u", name, "-p", password + "x"}), 1);
        expect_ok(brassbox({"-u", name, "-p", password}), "Unlocked '" + name + "' keyring.\n");
        EXPECT_FALSE(is_locked(name));
    }
}

// The keyring file holds what the daemon decrypted from us: a daemon that
// starts afresh and reads it from disk opens it with the right password,
// and only with that one.
TEST(Session, TheDaemonReadsWhatWeSentAfterARestart) {
    create("work", "right password");
    pid_t daemon = daemon_pid();
    kill(daemon, SIGTERM);
    ASSERT_TRUE(eventually([] { return !daemon_serves(); }));
    // The bus starts a new daemon on demand.
    expect_error(brassbox({"-u", "work", "-p", "right passwore"}), 1);
    EXPECT_NE(daemon_pid(), daemon);
    EXPECT_TRUE(is_locked("work"));
    expect_ok(brassbox({"-u", "work", "-p", "right password"}), "Unlocked 'work' keyring.\n");
    EXPECT_FALSE(is_locked("work"));
}

std::string file_text(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// Everything that crosses the bus, as any monitor of it sees it, while
// passwords are sent every way brassbox sends them.
TEST(Session, TheBusCarriesNoPasswordInTheClear) {
    const std::string password = "Pl41n-text-NEVER";
    const std::string capture = std::string(getenv("HOME")) + "/bus.bin";
    g_autoptr(GSubprocessLauncher) launcher =
        g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDERR_SILENCE);
    g_subprocess_launcher_set_stdout_file_path(launcher, capture.c_str());
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSubprocess) monitor = g_subprocess_launcher_spawn(launcher, &error, "dbus-monitor",
                                                                 "--session", "--binary", nullptr);
    ASSERT_NE(monitor, nullptr) << error->message;
    // Watching once it has seen a call of ours.
    ASSERT_TRUE(eventually([&] {
        brassbox({"-t"});
        return file_text(capture).find("Collections") != std::string::npos;
    }));

    create("work", password);
    brassbox({"-l", "work"});
    expect_ok(brassbox({"-u", "work"}, {.input = password + "\n"}), "Unlocked 'work' keyring.\n");
    brassbox({"-l", "work"});
    expect_error(brassbox({"-u", "work", "-p", password.substr(1)}), 1);
    brassbox({"-i", "work"});
    // The last call seen: everything before it is in the capture.
    EXPECT_TRUE(
        eventually([&] { return file_text(capture).find("Modified") != std::string::npos; }));
    g_subprocess_force_exit(monitor);
    g_subprocess_wait(monitor, nullptr, nullptr);

    auto seen = file_text(capture);
    EXPECT_NE(seen.find("CreateWithMasterPassword"), std::string::npos);
    EXPECT_NE(seen.find("UnlockWithMasterPassword"), std::string::npos);
    EXPECT_EQ(seen.find(password.substr(1)), std::string::npos) << "a password crossed the bus";
}

} // namespace
