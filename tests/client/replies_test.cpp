#include "replies.h"

#include <gtest/gtest.h>

namespace {

using namespace keyring_client;

GnomeKeyringResult remote(const char *name, bool on_keyring) {
    g_autoptr(GError) error = g_dbus_error_new_for_dbus_error(name, "said the daemon");
    return result_for_error(error, on_keyring);
}

GnomeKeyringResult local(GIOErrorEnum code) {
    g_autoptr(GError) error = g_error_new_literal(G_IO_ERROR, code, "here");
    return result_for_error(error, false);
}

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
        {"org.freedesktop.DBus.Error.NoReply", GNOME_KEYRING_RESULT_IO_ERROR},
        {"org.example.Whatever", GNOME_KEYRING_RESULT_IO_ERROR},
    };
    for (const auto &c : cases)
        EXPECT_EQ(remote(c.name, true), c.result) << c.name;
}

TEST(Replies, MissingObjectMeansNoKeyringOnlyOnAKeyring) {
    for (const char *name :
         {"org.freedesktop.DBus.Error.UnknownObject", "org.freedesktop.DBus.Error.UnknownMethod"}) {
        EXPECT_EQ(remote(name, true), GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
        EXPECT_EQ(remote(name, false), GNOME_KEYRING_RESULT_IO_ERROR);
    }
}

TEST(Replies, LocalErrors) {
    EXPECT_EQ(local(G_IO_ERROR_CANCELLED), GNOME_KEYRING_RESULT_CANCELLED);
    EXPECT_EQ(local(G_IO_ERROR_TIMED_OUT), GNOME_KEYRING_RESULT_IO_ERROR);
    EXPECT_EQ(local(G_IO_ERROR_CLOSED), GNOME_KEYRING_RESULT_IO_ERROR);
}

GVariant *parse(const char *text) {
    return g_variant_ref_sink(g_variant_new_parsed(text));
}

TEST(Replies, LockSucceedsOnlyForTheKeyringAsked) {
    const char *work = "/org/freedesktop/secrets/collection/work";
    struct Case {
        const char *reply;
        GnomeKeyringResult result;
    };
    const Case cases[] = {
        {"([objectpath '/org/freedesktop/secrets/collection/work'], objectpath '/')",
         GNOME_KEYRING_RESULT_OK},
        {"(@ao [], objectpath '/')", GNOME_KEYRING_RESULT_NO_SUCH_KEYRING},
        {"([objectpath '/org/freedesktop/secrets/collection/other'], objectpath '/')",
         GNOME_KEYRING_RESULT_NO_SUCH_KEYRING},
        {"(@ao [], objectpath '/org/freedesktop/secrets/prompt/p1')", GNOME_KEYRING_RESULT_DENIED},
        {"(objectpath '/',)", GNOME_KEYRING_RESULT_IO_ERROR},
    };
    for (const auto &c : cases) {
        g_autoptr(GVariant) reply = parse(c.reply);
        EXPECT_EQ(read_lock(reply, work), c.result) << c.reply;
    }
    EXPECT_EQ(read_lock(nullptr, work), GNOME_KEYRING_RESULT_IO_ERROR);
}

TEST(Replies, PromptIsRefused) {
    g_autoptr(GVariant) none = parse("(objectpath '/',)");
    g_autoptr(GVariant) prompt = parse("(objectpath '/org/freedesktop/secrets/prompt/u1',)");
    g_autoptr(GVariant) wrong = parse("('/',)");
    EXPECT_EQ(read_prompt(none), GNOME_KEYRING_RESULT_OK);
    EXPECT_EQ(read_prompt(prompt), GNOME_KEYRING_RESULT_DENIED);
    EXPECT_EQ(read_prompt(wrong), GNOME_KEYRING_RESULT_IO_ERROR);
}

TEST(Replies, InfoNeedsEveryPropertyWithItsType) {
    g_autoptr(GVariant) locked = parse("(<true>,)");
    g_autoptr(GVariant) created = parse("(<uint64 1700000000>,)");
    g_autoptr(GVariant) huge = parse("(<uint64 18446744073709551615>,)");
    g_autoptr(GVariant) signed_time = parse("(<int64 5>,)");
    GnomeKeyringInfo info;
    ASSERT_EQ(read_info(locked, created, huge, info), GNOME_KEYRING_RESULT_OK);
    EXPECT_TRUE(info.locked);
    EXPECT_EQ(info.ctime, 1700000000);
    EXPECT_GT(info.mtime, 0) << "a time past time_t must not wrap into the past";
    EXPECT_EQ(read_info(locked, signed_time, created, info), GNOME_KEYRING_RESULT_IO_ERROR);
    EXPECT_EQ(read_info(created, created, created, info), GNOME_KEYRING_RESULT_IO_ERROR);
}

} // namespace
