#include "replies.h"

#include "message_maker.h"

#include <gtest/gtest.h>

namespace {

using namespace keyring_client;

TEST(Replies, DBusErrorsBecomeResultCodes) {
    struct Case {
        const char *name;
        GnomeKeyringResult result;
    };
    const Case cases[] = {
        {"org.freedesktop.DBus.Error.ServiceUnknown", GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON},
        {"org.freedesktop.DBus.Error.NameHasNoOwner", GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON},
        {"org.freedesktop.DBus.Error.NoServer", GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON},
        {"org.freedesktop.DBus.Error.Spawn.ChildExited", GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON},
        {"org.freedesktop.Secret.Error.NoSuchObject", GNOME_KEYRING_RESULT_NO_SUCH_KEYRING},
        {"org.gnome.keyring.Error.Denied", GNOME_KEYRING_RESULT_DENIED},
        {"org.freedesktop.DBus.Error.AccessDenied", GNOME_KEYRING_RESULT_DENIED},
        {"org.freedesktop.Secret.Error.IsLocked", GNOME_KEYRING_RESULT_DENIED},
        {"org.freedesktop.DBus.Error.InvalidArgs", GNOME_KEYRING_RESULT_BAD_ARGUMENTS},
        {"org.freedesktop.DBus.Error.NotSupported", GNOME_KEYRING_RESULT_NOT_SUPPORTED},
        // What sd-bus says of a call that timed out or lost its connection.
        {"org.freedesktop.DBus.Error.NoReply", GNOME_KEYRING_RESULT_IO_ERROR},
        {"org.freedesktop.DBus.Error.Timeout", GNOME_KEYRING_RESULT_IO_ERROR},
        {"org.example.Whatever", GNOME_KEYRING_RESULT_IO_ERROR},
        {"", GNOME_KEYRING_RESULT_IO_ERROR},
    };
    for (const auto &c : cases)
        EXPECT_EQ(result_for_error(c.name, true), c.result) << c.name;
}

// Missing on a keyring: no such keyring; on the service: it cannot do that
// (gnome-keyring's password interface on KWallet or KeePassXC).
TEST(Replies, MissingObjectMeansNoKeyringOnAKeyringAndNoFeatureOnTheService) {
    for (const char *name :
         {"org.freedesktop.DBus.Error.UnknownObject", "org.freedesktop.DBus.Error.UnknownMethod"}) {
        EXPECT_EQ(result_for_error(name, true), GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
        EXPECT_EQ(result_for_error(name, false), GNOME_KEYRING_RESULT_NOT_SUPPORTED);
    }
    EXPECT_EQ(result_for_error("org.freedesktop.DBus.Error.UnknownInterface", false),
              GNOME_KEYRING_RESULT_NOT_SUPPORTED);
}

class Readers : public testing::Test {
protected:
    MessageMaker messages;
};

// Whether the keyring got locked is its state's to say; a prompt is refused.
TEST_F(Readers, LockAnswerIsRefusedOnlyForAPrompt) {
    const char *work = "/org/freedesktop/secrets/collection/work";
    EXPECT_EQ(read_lock(messages.make("aoo", 1, work, "/").get()), GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(read_lock(messages.make("aoo", 0, "/").get()), GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(read_lock(messages.make("aoo", 0, "/org/freedesktop/secrets/prompt/p1").get()),
              GNOME_KEYRING_RESULT_DENIED);
    EXPECT_EQ(read_lock(messages.make("o", "/").get()), GNOME_KEYRING_RESULT_IO_ERROR);
    EXPECT_EQ(read_lock(messages.make("aoos", 1, work, "/", "more").get()),
              GNOME_KEYRING_RESULT_IO_ERROR);
    EXPECT_EQ(read_lock(nullptr), GNOME_KEYRING_RESULT_IO_ERROR);
}

TEST_F(Readers, PromptIsRefused) {
    EXPECT_EQ(read_prompt(messages.make("o", "/").get()), GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(read_prompt(messages.make("o", "/org/freedesktop/secrets/prompt/u1").get()),
              GNOME_KEYRING_RESULT_DENIED);
    EXPECT_EQ(read_prompt(messages.make("s", "/").get()), GNOME_KEYRING_RESULT_IO_ERROR);
}

TEST_F(Readers, TimesOnlyOfTheirOwnType) {
    auto created = messages.make("v", "t", uint64_t{1700000000});
    time_t time = 0;
    ASSERT_EQ(read_time(created.get(), time), GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(time, 1700000000);
    ASSERT_EQ(read_time(messages.make("v", "t", UINT64_MAX).get(), time), GNOME_KEYRING_RESULT_OK);
    EXPECT_GT(time, 0) << "a time past time_t must not wrap into the past";
    // Read twice, the same: every reader starts at the beginning.
    ASSERT_EQ(read_time(created.get(), time), GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(time, 1700000000);
    EXPECT_EQ(read_time(messages.make("v", "x", int64_t{5}).get(), time),
              GNOME_KEYRING_RESULT_IO_ERROR);
    EXPECT_EQ(read_time(messages.make("v", "b", 1).get(), time), GNOME_KEYRING_RESULT_IO_ERROR);
}

TEST_F(Readers, PathsAndStringsOnlyOfTheirOwnType) {
    std::vector<std::string> paths;
    EXPECT_EQ(read_paths(messages.make("v", "ao", 2, "/a", "/b").get(), paths),
              GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(paths, (std::vector<std::string>{"/a", "/b"}));
    EXPECT_EQ(read_paths(messages.make("v", "as", 1, "/a").get(), paths),
              GNOME_KEYRING_RESULT_IO_ERROR);
    std::string label;
    EXPECT_EQ(read_string(messages.make("v", "s", "my keys").get(), label),
              GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(label, "my keys");
    EXPECT_EQ(read_string(messages.make("v", "o", "/x").get(), label),
              GNOME_KEYRING_RESULT_IO_ERROR);
    std::optional<std::string> alias;
    EXPECT_EQ(read_alias(messages.make("o", "/").get(), alias), GNOME_KEYRING_RESULT_OK);
    EXPECT_FALSE(alias);
    // A keyring made is a keyring, not an item in one.
    std::string made;
    EXPECT_EQ(
        read_created(messages.make("o", "/org/freedesktop/secrets/collection/a/b").get(), made),
        GNOME_KEYRING_RESULT_IO_ERROR);
    EXPECT_EQ(read_created(messages.make("o", "/org/freedesktop/secrets/collection/a").get(), made),
              GNOME_KEYRING_RESULT_OK);
}

// Anybody can answer the question of who owns the service before the bus
// does; believed, the forger would be sent the password.
TEST_F(Readers, OnlyTheBusNamesTheServicesOwner) {
    auto answer_from = [&](const char *sender) {
        auto reply = messages.empty();
        sd_bus_message_append(reply.get(), "s", ":1.66");
        sd_bus_message_set_sender(reply.get(), sender);
        return messages.seal(std::move(reply));
    };
    std::string owner;
    EXPECT_EQ(owner_named(answer_from(":1.66").get(), owner), Owner::Forged);
    EXPECT_EQ(owner_named(answer_from("org.freedesktop.DBus").get(), owner), Owner::Found);
    EXPECT_EQ(owner, ":1.66");
}

TEST_F(Readers, SessionAnswerIsTheServicesValueAndPath) {
    const uint8_t value[] = {0, 0, 2};
    auto reply = messages.empty();
    sd_bus_message_open_container(reply.get(), 'v', "ay");
    sd_bus_message_append_array(reply.get(), 'y', value, sizeof value);
    sd_bus_message_close_container(reply.get());
    sd_bus_message_append(reply.get(), "o", "/org/freedesktop/secrets/session/s1");
    reply = messages.seal(std::move(reply));
    Opened opened;
    ASSERT_EQ(read_session(reply.get(), opened), GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(opened.public_value, (std::vector<uint8_t>{0, 0, 2}));
    EXPECT_EQ(opened.path, "/org/freedesktop/secrets/session/s1");
    // The plain algorithm's answer: an empty string, not a public value.
    EXPECT_EQ(read_session(messages.make("vo", "s", "", "/s").get(), opened),
              GNOME_KEYRING_RESULT_IO_ERROR);
}

} // namespace
