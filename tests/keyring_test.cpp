// The commands against a scripted client library: every result code,
// every printed line, every status.
#include "capture.h"
#include "fake_client.h"
#include "keyring.h"
#include "messages.h"
#include "usage.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

class Commands : public testing::Test {
protected:
    void SetUp() override {
        fake = FakeKeyring{};
        exit_status = 0;
    }
    // The tool leaves its one loop to the end of the process; here many
    // requests share a process.
    template <typename Command> Output run(Command command) {
        auto output = capture([&] { status = command(); });
        g_clear_pointer(&loop, g_main_loop_unref);
        return output;
    }
    int status = -1;
};

TEST_F(Commands, ListPrintsOneNamePerLine) {
    fake.names = {"login", "work"};
    auto output = run(keyring_list);
    EXPECT_EQ(output.out, "login\nwork\n");
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(status, 1);

    fake.names.clear();
    output = run(keyring_list);
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(status, 1);
}

// Each command sends its own request, for the keyring and with the
// password given, and reports a failure once, without confirmation.
TEST_F(Commands, EveryFailureCodeIsReportedOnceWithoutConfirmation) {
    struct Case {
        int (*command)();
        const char *operation;
        const char *keyring = "(null)";
        const char *password = "";
    };
    const Case cases[] = {
        {keyring_list, "list"},
        {[] { return keyring_lock("w"); }, "lock", "w"},
        {[] { return keyring_delete("w"); }, "delete", "w"},
        {[] { return keyring_setdef("w"); }, "setdef", "w"},
        {[] { return keyring_info("w"); }, "info", "w"},
        {[] { return keyring_create("w", "pw"); }, "create", "w", "pw"},
        {[] { return keyring_unlock("w", "pw2"); }, "unlock", "w", "pw2"},
    };
    for (int code = GNOME_KEYRING_RESULT_DENIED; code <= GNOME_KEYRING_RESULT_NOT_SUPPORTED;
         code++) {
        fake.result = static_cast<GnomeKeyringResult>(code);
        fake.names = {"login"};
        for (const auto &c : cases) {
            SCOPED_TRACE(std::to_string(code) + " " + c.operation);
            auto output = run(c.command);
            EXPECT_EQ(output.err, error_line(code));
            EXPECT_EQ(output.out, "");
            EXPECT_EQ(status, 0);
            EXPECT_EQ(fake.operation + " " + fake.keyring + " " + fake.password,
                      std::string(c.operation) + " " + c.keyring + " " + c.password);
        }
    }
}

TEST_F(Commands, DefaultKeyringFailureIsReportedEvenWithoutName) {
    fake.result = GNOME_KEYRING_RESULT_IO_ERROR;
    auto output = run(keyring_getdef);
    EXPECT_EQ(output.err, error_line(GNOME_KEYRING_RESULT_IO_ERROR));
    EXPECT_EQ(status, 0);

    fake.result = GNOME_KEYRING_RESULT_OK;
    output = run(keyring_getdef);
    EXPECT_EQ(output.out + output.err, "");
    EXPECT_EQ(status, 0);

    fake.string = "login";
    output = run(keyring_getdef);
    EXPECT_EQ(output.out, "login\n");
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(status, 1);
}

TEST_F(Commands, InfoReportsSettingsThenTimesInLocalTime) {
    setenv("TZ", "UTC", 1);
    fake.info = {true, true, 300, 86400, 1700000000};
    auto output = run([] { return keyring_info("work"); });
    EXPECT_EQ(output.out, "Keyring locked : yes\n"
                          "Auto lock on idle : yes\n"
                          "Auto lock idle timeout : 300 (in sec)\n"
                          "Keyring created on : 1970-01-02 00:00:00 +0000 (Fri, 02 Jan 1970)\n"
                          "Keyring modified on : 2023-11-14 22:13:20 +0000 (Tue, 14 Nov 2023)\n");
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(status, 1);
}

TEST_F(Commands, InfoLeavesOutOnlyATimeThatCannotBeConverted) {
    fake.info = {false, false, 0, LLONG_MAX, 0};
    setenv("TZ", "UTC", 1);
    auto output = run([] { return keyring_info("work"); });
    EXPECT_EQ(output.out, "Keyring locked : no\n"
                          "Auto lock on idle : no\n"
                          "Auto lock idle timeout : 0 (in sec)\n"
                          "Keyring modified on : 1970-01-01 00:00:00 +0000 (Thu, 01 Jan 1970)\n");
    EXPECT_EQ(status, 1);
}

} // namespace
