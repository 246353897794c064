// Daemon replies: any message of any type, handed to every reader, must
// give a result code and never crash.
#include "replies.h"

#include <array>

using namespace keyring_client;

namespace {

// The first byte picks the type the rest is read as; the readers must
// check types themselves, so both fitting and unfitting ones are here.
constexpr std::array kTypes = {"(v)",   "(o)", "(aoo)", "(ao)", "(s)",      "(b)", "(t)",
                               "a{sv}", "v",   "(vv)",  "()",   "(oayays)", "(av)"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const char *type = kTypes[data[0] % kTypes.size()];
    g_autoptr(GBytes) bytes = g_bytes_new(data + 1, size - 1);
    g_autoptr(GVariant) reply =
        g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(type), bytes, FALSE));

    std::vector<std::string> paths;
    std::string text;
    std::optional<std::string> alias;
    GnomeKeyringInfo info;
    read_paths(reply, paths);
    read_string(reply, text);
    read_alias(reply, alias);
    read_info(reply, reply, reply, info);
    read_lock(reply, "/org/freedesktop/secrets/collection/login");
    read_prompt(reply);
    read_created(reply, text);

    // An error name as a daemon might send it.
    std::string name(reinterpret_cast<const char *>(data + 1), size - 1);
    if (g_dbus_is_error_name(name.c_str())) {
        g_autoptr(GError) error = g_dbus_error_new_for_dbus_error(name.c_str(), "fuzz");
        result_for_error(error, data[0] & 1);
    }
    return 0;
}
