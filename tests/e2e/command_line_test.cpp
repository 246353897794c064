// The command line, black-box: which command runs, what is printed where,
// and the exit status.
#include "harness.h"

#include <cstring>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

namespace {

std::string usage(const std::string &program) {
    std::string text = R"(
Brassbox is application that lets you manage keyrings.

Usage:
  P {--list | -t}
     List all the existing keyring names.

  P {--setdef=keyring_name | -s keyring_name}
     Set given keyring as default keyring.

  P {--getdef | -g}
     Get keyring name of default keyring.

  P {--create=keyring_name | -c keyring_name} [-p password]
     Create a given keyring with a password.

  P {--delete=keyring_name | -d keyring_name}
     Delete a given keyring.

  P {--lock=keyring_name | -l keyring_name}
     Lock a given keyring.

  P {--unlock=keyring_name | -u keyring_name} [-p password]
     Unlock given keyring with a password.

  P {--modify=keyring_name | -m keyring_name} [-p password] [-n new_password]
     Modify given keyring, old password with a new password.

  P {--info=keyring_name | -i keyring_name}
     Get information of a given keyring.

  P {--version | -v}
     print version information.

  P {--help | -h}
     Print this help.

)";
    for (size_t at = 0; (at = text.find("  P {", at)) != std::string::npos; at += program.size())
        text.replace(at + 2, 1, program);
    return text;
}

const std::string kBin = BRASSBOX_BIN;

void expect_usage(const Run &run, const std::string &before = "") {
    EXPECT_EQ(run.err, before + usage(kBin));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
}

TEST(CommandLine, NoArgumentsAndHelpPrintUsage) {
    expect_usage(brassbox({}));
    expect_usage(brassbox({"-h"}));
    expect_usage(brassbox({"--he"}));
}

TEST(CommandLine, UsageNamesTheProgramAsInvoked) {
    std::string dir = kBin.substr(0, kBin.rfind('/'));
    auto run = brassbox({"--help"}, {.argv0 = "./brassbox", .cwd = dir});
    EXPECT_EQ(run.err, usage("./brassbox"));
}

TEST(CommandLine, EmptyArgumentVectorShowsTheToolName) {
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipes[1], STDERR_FILENO);
    char *no_args[] = {nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, kBin.c_str(), &actions, nullptr, no_args, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipes[1]);
    std::string err;
    char buf[4096];
    for (ssize_t got; (got = read(pipes[0], buf, sizeof buf)) > 0;)
        err.append(buf, static_cast<size_t>(got));
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(err, usage("brassbox"));
}

TEST(CommandLine, VersionEndsWithZeroEvenAfterDeferredCommands) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"-v"}, {"--version"}, {"-u", "work", "-p", "pw", "-v"}}) {
        auto run = brassbox(args);
        EXPECT_EQ(run.err, "brassbox 0.10\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, 0);
    }
}

TEST(CommandLine, FirstImmediateCommandRunsAndNothingAfterIt) {
    for (auto args : std::vector<std::vector<std::string>>{{"-t", "-g"},
                                                           {"-t", "extra"},
                                                           {"extra", "--list"},
                                                           {"--li"},
                                                           {"-c", "work", "-t"},
                                                           {"-psecret", "-t"},
                                                           {"-ptp", "-t"}}) {
        auto run = brassbox(args);
        EXPECT_EQ(run.out, "session\n") << args[0];
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 1);
    }
    EXPECT_EQ(keyring_names(), std::vector<std::string>{"session"}) << "-c work -t created work";
}

TEST(CommandLine, CreateWinsOverUnlockWithTheLastNameRead) {
    auto run = brassbox({"-u", "two", "-c", "one", "-u", "two", "-p", "pw"});
    EXPECT_EQ(run.err, "Created 'two' keyring.\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(keyring_names(), (std::vector<std::string>{"session", "two"}));
}

// Before unlock too, wherever it stands.
TEST(CommandLine, ModifyOnlyWarns) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"-n", "new", "-m", "session", "-p", "old"}, {"-u", "session", "-m", "session"}}) {
        auto run = brassbox(args);
        EXPECT_EQ(run.err, "WARNING: Feature not supported\n");
        EXPECT_EQ(run.status, 1);
    }
}

TEST(CommandLine, NoCommandNamesTheFirstWord) {
    expect_usage(brassbox({"-p", "secret"}), "keyring: unkown command -- -p.");
    expect_usage(brassbox({"-psecret"}), "keyring: unkown command -- -p.");
    expect_usage(brassbox({"foo", "bar"}), "keyring: unkown command -- foo.");
}

TEST(CommandLine, ParserDiagnosticThenUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string diagnostic;
    };
    const Case cases[] = {
        {{"--lock"}, "option '--lock' requires an argument"},
        {{"--list=x"}, "option '--list' doesn't allow an argument"},
        {{"--l"}, "option '--l' is ambiguous; possibilities: '--list' '--lock'"},
        {{"-x"}, "invalid option -- 'x'"},
        {{"--nosuch"}, "unrecognized option '--nosuch'"},
        {{"-c"}, "option requires an argument -- 'c'"},
    };
    for (const auto &c : cases) {
        expect_usage(brassbox(c.args), kBin + ": " + c.diagnostic + "\n");
    }
}

TEST(CommandLine, RequiredArgumentIsTheNextWordWhateverItLooksLike) {
    auto run = brassbox({"-l", "-t"});
    EXPECT_EQ(run.err, error_line(4));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 0);
    // The daemon keeps "session" in memory and never locks it.
    run = brassbox({"--lock", "session"});
    EXPECT_EQ(run.err, error_line(1));
    EXPECT_EQ(run.status, 0);
}

TEST(CommandLine, NoSessionBusMeansNoDaemon) {
    Launch nowhere{.env = {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}}};
    for (auto args : std::vector<std::vector<std::string>>{{"-t"},
                                                           {"-g"},
                                                           {"-s", "a"},
                                                           {"-i", "a"},
                                                           {"-l", "a"},
                                                           {"-d", "a"},
                                                           {"-c", "a"},
                                                           {"-u", "a"},
                                                           {"-c", "a", "-p", "pw"}}) {
        auto run = brassbox(args, nowhere);
        EXPECT_EQ(run.err, error_line(2)) << args[0];
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.status, 0);
    }
    auto run = brassbox({"-m", "a"}, nowhere);
    EXPECT_EQ(run.err, "WARNING: Feature not supported\n");
    EXPECT_EQ(run.status, 1);
}

} // namespace
