#include "replies.h"

#include <array>
#include <limits>

namespace keyring_client {
namespace {

struct ErrorMeaning {
    std::string_view name;
    GnomeKeyringResult result;
};

constexpr std::array kRemoteErrors = {
    ErrorMeaning{"org.freedesktop.DBus.Error.ServiceUnknown",
                 GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON},
    ErrorMeaning{"org.freedesktop.DBus.Error.NameHasNoOwner",
                 GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON},
    ErrorMeaning{"org.freedesktop.DBus.Error.NoServer", GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON},
    ErrorMeaning{"org.freedesktop.Secret.Error.NoSuchObject", GNOME_KEYRING_RESULT_NO_SUCH_KEYRING},
    ErrorMeaning{"org.gnome.keyring.Error.Denied", GNOME_KEYRING_RESULT_DENIED},
    ErrorMeaning{"org.freedesktop.DBus.Error.AccessDenied", GNOME_KEYRING_RESULT_DENIED},
    ErrorMeaning{"org.freedesktop.Secret.Error.IsLocked", GNOME_KEYRING_RESULT_DENIED},
    ErrorMeaning{"org.freedesktop.DBus.Error.InvalidArgs", GNOME_KEYRING_RESULT_BAD_ARGUMENTS},
};

constexpr std::string_view kSpawnErrors = "org.freedesktop.DBus.Error.Spawn.";

bool is_missing_object(std::string_view name) {
    return name == "org.freedesktop.DBus.Error.UnknownObject" ||
           name == "org.freedesktop.DBus.Error.UnknownMethod";
}

// The one child of a reply tuple, when the reply has exactly this type.
GVariant *only_child(GVariant *reply, const char *type) {
    if (reply == nullptr || !g_variant_is_of_type(reply, G_VARIANT_TYPE(type)))
        return nullptr;
    return g_variant_get_child_value(reply, 0);
}

// The value inside a Properties.Get reply "(v)", when it has this type.
GVariant *property(GVariant *reply, const char *type) {
    g_autoptr(GVariant) boxed = only_child(reply, "(v)");
    if (boxed == nullptr)
        return nullptr;
    GVariant *value = g_variant_get_variant(boxed);
    if (g_variant_is_of_type(value, G_VARIANT_TYPE(type)))
        return value;
    g_variant_unref(value);
    return nullptr;
}

std::optional<time_t> read_time(GVariant *reply) {
    g_autoptr(GVariant) value = property(reply, "t");
    if (value == nullptr)
        return std::nullopt;
    guint64 seconds = g_variant_get_uint64(value);
    // Past what time_t holds: no date at all rather than a wrapped one.
    if (seconds > static_cast<guint64>(std::numeric_limits<time_t>::max()))
        return std::numeric_limits<time_t>::max();
    return static_cast<time_t>(seconds);
}

} // namespace

GnomeKeyringResult result_for_error(const GError *error, bool on_keyring) {
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return GNOME_KEYRING_RESULT_CANCELLED;
    g_autofree char *remote = g_dbus_error_get_remote_error(error);
    if (remote == nullptr)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    std::string_view name = remote;
    for (const auto &known : kRemoteErrors) {
        if (known.name == name)
            return known.result;
    }
    if (name.starts_with(kSpawnErrors))
        return GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON;
    if (on_keyring && is_missing_object(name))
        return GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
    return GNOME_KEYRING_RESULT_IO_ERROR;
}

GnomeKeyringResult read_paths(GVariant *reply, std::vector<std::string> &paths) {
    g_autoptr(GVariant) value = property(reply, "ao");
    if (value == nullptr)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    GVariantIter iter;
    const char *path = nullptr;
    g_variant_iter_init(&iter, value);
    while (g_variant_iter_next(&iter, "&o", &path))
        paths.emplace_back(path);
    return GNOME_KEYRING_RESULT_OK;
}

GnomeKeyringResult read_string(GVariant *reply, std::string &text) {
    g_autoptr(GVariant) value = property(reply, "s");
    if (value == nullptr)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    text = g_variant_get_string(value, nullptr);
    return GNOME_KEYRING_RESULT_OK;
}

GnomeKeyringResult read_alias(GVariant *reply, std::optional<std::string> &path) {
    g_autoptr(GVariant) value = only_child(reply, "(o)");
    if (value == nullptr)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    std::string_view found = g_variant_get_string(value, nullptr);
    path = found == "/" ? std::nullopt : std::optional<std::string>(found);
    return GNOME_KEYRING_RESULT_OK;
}

GnomeKeyringResult read_info(GVariant *locked, GVariant *created, GVariant *modified,
                             GnomeKeyringInfo &info) {
    g_autoptr(GVariant) is_locked = property(locked, "b");
    auto ctime = read_time(created);
    auto mtime = read_time(modified);
    if (is_locked == nullptr || !ctime || !mtime)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    info.locked = g_variant_get_boolean(is_locked) != FALSE;
    info.ctime = *ctime;
    info.mtime = *mtime;
    return GNOME_KEYRING_RESULT_OK;
}

GnomeKeyringResult read_lock(GVariant *reply, std::string_view path) {
    if (reply == nullptr || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(aoo)")))
        return GNOME_KEYRING_RESULT_IO_ERROR;
    g_autoptr(GVariant) locked = g_variant_get_child_value(reply, 0);
    g_autoptr(GVariant) prompt = g_variant_get_child_value(reply, 1);
    GVariantIter iter;
    const char *done = nullptr;
    g_variant_iter_init(&iter, locked);
    while (g_variant_iter_next(&iter, "&o", &done)) {
        if (done == path)
            return GNOME_KEYRING_RESULT_OK;
    }
    if (std::string_view(g_variant_get_string(prompt, nullptr)) != "/")
        return GNOME_KEYRING_RESULT_DENIED;
    return GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
}

GnomeKeyringResult read_prompt(GVariant *reply) {
    g_autoptr(GVariant) prompt = only_child(reply, "(o)");
    if (prompt == nullptr)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    if (std::string_view(g_variant_get_string(prompt, nullptr)) != "/")
        return GNOME_KEYRING_RESULT_DENIED;
    return GNOME_KEYRING_RESULT_OK;
}

GnomeKeyringResult read_created(GVariant *reply, std::string &path) {
    g_autoptr(GVariant) created = only_child(reply, "(o)");
    if (created == nullptr)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    path = g_variant_get_string(created, nullptr);
    return GNOME_KEYRING_RESULT_OK;
}

} // namespace keyring_client
