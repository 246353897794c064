// The least any GLib tool can spend on one keyring request: connect to
// the session bus, make the one D-Bus call the command needs, print the
// answer, exit. Not part of brassbox; the benchmark's yardstick.
//
//   floor list | getdef | setdef NAME | info NAME | info-all NAME | lock NAME | delete NAME
//
// info reads what the report needs as brassbox does, three properties in
// one round trip; info-all asks for them all at once, which brings the
// path of every item in the keyring along.
#include <cstdio>
#include <cstring>
#include <gio/gio.h>
#include <initializer_list>

namespace {

constexpr const char *kService = "org.freedesktop.secrets";
constexpr const char *kServicePath = "/org/freedesktop/secrets";

GVariant *call(GDBusConnection *bus, const char *path, const char *interface, const char *method,
               GVariant *params) {
    g_autoptr(GError) error = nullptr;
    GVariant *reply =
        g_dbus_connection_call_sync(bus, kService, path, interface, method, params, nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    if (reply == nullptr)
        fprintf(stderr, "%s\n", error->message);
    return reply;
}

int pending = 0;

void on_property(GObject *source, GAsyncResult *result, gpointer loop) {
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (reply != nullptr) {
        g_autofree char *text = g_variant_print(reply, FALSE);
        printf("%s\n", text);
    }
    if (--pending == 0)
        g_main_loop_quit(static_cast<GMainLoop *>(loop));
}

int read_properties(GDBusConnection *bus, const char *path) {
    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    for (const char *property : {"Locked", "Created", "Modified"}) {
        g_dbus_connection_call(bus, kService, path, "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", "org.freedesktop.Secret.Collection", property),
                               nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, on_property, loop);
        pending++;
    }
    g_main_loop_run(loop);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    const char *command = argv[1];
    g_autofree char *path =
        g_strconcat(kServicePath, "/collection/", argc > 2 ? argv[2] : "", nullptr);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus == nullptr)
        return 2;

    g_autoptr(GVariant) reply = nullptr;
    if (strcmp(command, "list") == 0)
        reply = call(bus, kServicePath, "org.freedesktop.DBus.Properties", "Get",
                     g_variant_new("(ss)", "org.freedesktop.Secret.Service", "Collections"));
    else if (strcmp(command, "getdef") == 0)
        reply = call(bus, kServicePath, "org.freedesktop.Secret.Service", "ReadAlias",
                     g_variant_new("(s)", "default"));
    else if (strcmp(command, "setdef") == 0)
        reply = call(bus, kServicePath, "org.freedesktop.Secret.Service", "SetAlias",
                     g_variant_new("(so)", "default", path));
    else if (strcmp(command, "info") == 0)
        return read_properties(bus, path);
    else if (strcmp(command, "info-all") == 0)
        reply = call(bus, path, "org.freedesktop.DBus.Properties", "GetAll",
                     g_variant_new("(s)", "org.freedesktop.Secret.Collection"));
    else if (strcmp(command, "lock") == 0) {
        const char *paths[] = {path, nullptr};
        reply = call(bus, kServicePath, "org.freedesktop.Secret.Service", "Lock",
                     g_variant_new("(^ao)", paths));
    } else if (strcmp(command, "delete") == 0)
        reply = call(bus, path, "org.freedesktop.Secret.Collection", "Delete", nullptr);
    if (reply == nullptr)
        return 1;
    g_autofree char *text = g_variant_print(reply, FALSE);
    printf("%.200s\n", text);
    return 0;
}
