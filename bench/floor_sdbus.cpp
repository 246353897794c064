// The least an sd-bus program can spend on one keyring request, with GLib
// initialised and the libraries linked as brassbox has them: connect to the session bus,
// make the command's D-Bus call(s), print the answer, exit. Not part of
// brassbox; the benchmark's yardstick.
//
//   floor_sdbus list | getdef | setdef NAME | info NAME | lock NAME | delete NAME
//
// info reads the three properties the report needs in one round trip, as
// brassbox does.
#include <cstdio>
#include <cstring>
#include <glib.h>
#include <string>
#include <systemd/sd-bus.h>

namespace {

constexpr const char *kService = "org.freedesktop.secrets";
constexpr const char *kServicePath = "/org/freedesktop/secrets";
constexpr const char *kCollection = "org.freedesktop.Secret.Collection";

int answered = 0;

int on_property(sd_bus_message *reply, void *, sd_bus_error *) {
    if (sd_bus_message_is_method_error(reply, nullptr) == 0)
        printf("%s\n", sd_bus_message_get_signature(reply, 1));
    answered++;
    return 0;
}

int read_properties(sd_bus *bus, const std::string &path) {
    for (const char *property : {"Locked", "Created", "Modified"})
        sd_bus_call_method_async(bus, nullptr, kService, path.c_str(),
                                 "org.freedesktop.DBus.Properties", "Get", on_property, nullptr,
                                 "ss", kCollection, property);
    while (answered < 3) {
        if (sd_bus_process(bus, nullptr) > 0)
            continue;
        if (sd_bus_wait(bus, UINT64_MAX) < 0)
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    // GLib as brassbox has it: initialised, with a main loop.
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_set_application_name("floor");
    const std::string command = argv[1];
    const std::string path = std::string(kServicePath) + "/collection/" + (argc > 2 ? argv[2] : "");
    sd_bus *bus = nullptr;
    if (sd_bus_open_user(&bus) < 0)
        return 2;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    int r = -1;
    if (command == "list")
        r = sd_bus_call_method(bus, kService, kServicePath, "org.freedesktop.DBus.Properties", "Get",
                               &error, &reply, "ss", "org.freedesktop.Secret.Service",
                               "Collections");
    else if (command == "getdef")
        r = sd_bus_call_method(bus, kService, kServicePath, "org.freedesktop.Secret.Service",
                               "ReadAlias", &error, &reply, "s", "default");
    else if (command == "setdef")
        r = sd_bus_call_method(bus, kService, kServicePath, "org.freedesktop.Secret.Service",
                               "SetAlias", &error, &reply, "so", "default", path.c_str());
    else if (command == "info")
        return read_properties(bus, path);
    else if (command == "lock")
        r = sd_bus_call_method(bus, kService, kServicePath, "org.freedesktop.Secret.Service", "Lock",
                               &error, &reply, "ao", 1, path.c_str());
    else if (command == "delete")
        r = sd_bus_call_method(bus, kService, path.c_str(), kCollection, "Delete", &error, &reply,
                               "");
    if (r < 0) {
        fprintf(stderr, "%s\n", error.message != nullptr ? error.message : strerror(-r));
        return 1;
    }
    printf("%s\n", sd_bus_message_get_signature(reply, 1));
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    g_main_loop_unref(loop);
    return 0;
}
