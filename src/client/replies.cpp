#include "replies.h"

#include "names.h"

#include <algorithm>
#include <array>
#include <limits>

namespace keyring_client {
namespace {

struct ErrorMeaning {
    std::string_view name;
    GnomeKeyringResult result = GNOME_KEYRING_RESULT_OK;
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
    ErrorMeaning{"org.freedesktop.DBus.Error.NotSupported", GNOME_KEYRING_RESULT_NOT_SUPPORTED},
};

constexpr std::string_view kSpawnErrors = "org.freedesktop.DBus.Error.Spawn.";

bool is_missing_object(std::string_view name) {
    return name == "org.freedesktop.DBus.Error.UnknownObject" ||
           name == "org.freedesktop.DBus.Error.UnknownMethod";
}

// gnome-keyring's password interface, say, on KWallet or KeePassXC.
bool is_missing_interface(std::string_view name) {
    return is_missing_object(name) || name == "org.freedesktop.DBus.Error.UnknownInterface";
}

// The reply carries exactly these arguments; reading starts at the first.
bool has_signature(sd_bus_message *reply, std::string_view signature) {
    if (reply == nullptr || sd_bus_message_is_method_error(reply, nullptr) > 0)
        return false;
    const char *actual = sd_bus_message_get_signature(reply, 1);
    return actual != nullptr && actual == signature && sd_bus_message_rewind(reply, 1) >= 0;
}

// Into the value of a Properties.Get reply, when it has this type.
bool enter_property(sd_bus_message *reply, const char *type) {
    return has_signature(reply, "v") && sd_bus_message_enter_container(reply, 'v', type) > 0;
}

// A reply that is one value of a text type: 's' or 'o'.
bool read_text(sd_bus_message *reply, char type, std::string &text) {
    const std::array<char, 2> signature = {type, '\0'};
    const char *value = nullptr;
    if (!has_signature(reply, signature.data()) ||
        sd_bus_message_read_basic(reply, type, &value) <= 0)
        return false;
    text = value;
    return true;
}

bool read_path(sd_bus_message *reply, std::string &path) {
    return read_text(reply, 'o', path);
}

// The prompt path where reading stands: "/" is none, and any other is
// refused, since nobody could answer it.
GnomeKeyringResult read_prompt_path(sd_bus_message *reply) {
    const char *prompt = nullptr;
    if (sd_bus_message_read_basic(reply, 'o', &prompt) <= 0)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    return std::string_view(prompt) == "/" ? GNOME_KEYRING_RESULT_OK : GNOME_KEYRING_RESULT_DENIED;
}

} // namespace

GnomeKeyringResult result_for_error(std::string_view name, bool on_keyring) {
    for (const auto &known : kRemoteErrors) {
        if (known.name == name)
            return known.result;
    }
    if (name.starts_with(kSpawnErrors))
        return GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON;
    if (on_keyring && is_missing_object(name))
        return GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
    if (!on_keyring && is_missing_interface(name))
        return GNOME_KEYRING_RESULT_NOT_SUPPORTED;
    return GNOME_KEYRING_RESULT_IO_ERROR;
}

GnomeKeyringResult read_paths(sd_bus_message *reply, std::vector<std::string> &paths) {
    if (!enter_property(reply, "ao") || sd_bus_message_enter_container(reply, 'a', "o") <= 0)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    const char *path = nullptr;
    int got = 0;
    while ((got = sd_bus_message_read_basic(reply, 'o', &path)) > 0)
        paths.emplace_back(path);
    return got == 0 ? GNOME_KEYRING_RESULT_OK : GNOME_KEYRING_RESULT_IO_ERROR;
}

bool read_owner(sd_bus_message *reply, std::string &owner) {
    return read_text(reply, 's', owner);
}

GnomeKeyringResult read_string(sd_bus_message *reply, std::string &text) {
    const char *value = nullptr;
    if (!enter_property(reply, "s") || sd_bus_message_read_basic(reply, 's', &value) <= 0)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    text = value;
    return GNOME_KEYRING_RESULT_OK;
}

GnomeKeyringResult read_alias(sd_bus_message *reply, std::optional<std::string> &path) {
    std::string found;
    if (!read_path(reply, found))
        return GNOME_KEYRING_RESULT_IO_ERROR;
    path = found == "/" ? std::nullopt : std::optional<std::string>(found);
    return GNOME_KEYRING_RESULT_OK;
}

GnomeKeyringResult read_locked(sd_bus_message *reply, bool &locked) {
    int value = 0;
    if (!enter_property(reply, "b") || sd_bus_message_read_basic(reply, 'b', &value) <= 0)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    locked = value != 0;
    return GNOME_KEYRING_RESULT_OK;
}

GnomeKeyringResult read_time(sd_bus_message *reply, time_t &time) {
    uint64_t seconds = 0;
    if (!enter_property(reply, "t") || sd_bus_message_read_basic(reply, 't', &seconds) <= 0)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    // Past what time_t holds: no date at all rather than a wrapped one.
    time = static_cast<time_t>(
        std::min<uint64_t>(seconds, static_cast<uint64_t>(std::numeric_limits<time_t>::max())));
    return GNOME_KEYRING_RESULT_OK;
}

GnomeKeyringResult read_lock(sd_bus_message *reply) {
    // The prompt follows the list of what was locked.
    return has_signature(reply, "aoo") && sd_bus_message_skip(reply, "ao") >= 0
               ? read_prompt_path(reply)
               : GNOME_KEYRING_RESULT_IO_ERROR;
}

GnomeKeyringResult read_prompt(sd_bus_message *reply) {
    return has_signature(reply, "o") ? read_prompt_path(reply) : GNOME_KEYRING_RESULT_IO_ERROR;
}

GnomeKeyringResult read_created(sd_bus_message *reply, std::string &path) {
    return read_path(reply, path) && is_keyring_path(path) ? GNOME_KEYRING_RESULT_OK
                                                           : GNOME_KEYRING_RESULT_IO_ERROR;
}

GnomeKeyringResult read_empty(sd_bus_message *reply) {
    return has_signature(reply, "") ? GNOME_KEYRING_RESULT_OK : GNOME_KEYRING_RESULT_IO_ERROR;
}

GnomeKeyringResult read_properties(sd_bus_message *reply) {
    return has_signature(reply, "a{sv}") ? GNOME_KEYRING_RESULT_OK : GNOME_KEYRING_RESULT_IO_ERROR;
}

GnomeKeyringResult read_session(sd_bus_message *reply, Opened &opened) {
    const void *bytes = nullptr;
    size_t size = 0;
    const char *path = nullptr;
    if (!has_signature(reply, "vo") || sd_bus_message_enter_container(reply, 'v', "ay") <= 0 ||
        sd_bus_message_read_array(reply, 'y', &bytes, &size) < 0 ||
        sd_bus_message_exit_container(reply) < 0 ||
        sd_bus_message_read_basic(reply, 'o', &path) <= 0)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    const auto *first = static_cast<const uint8_t *>(bytes);
    opened.public_value.assign(first, first + size);
    opened.path = path;
    return GNOME_KEYRING_RESULT_OK;
}

} // namespace keyring_client
