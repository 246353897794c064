// The least an sd-bus program can spend on one keyring request, with GLib
// initialised and the libraries linked as brassbox has them: connect to the session bus,
// make the command's D-Bus calls, print the answers, exit. Not part of
// brassbox; the benchmark's yardstick.
//
//   floor_sdbus list | getdef | setdef NAME | info NAME | lock NAME | delete NAME
//
// The calls are brassbox's, sent together as brassbox sends them: info
// reads the three properties the report needs; a change is followed by the
// reads of the keyring's state that confirm it (set-default: the alias and
// the keyring; lock: the keyring; delete: the keyring before, the list of
// keyrings after).
#include <cstdio>
#include <cstring>
#include <glib.h>
#include <string>
#include <systemd/sd-bus.h>

namespace {

constexpr const char *kService = "org.freedesktop.secrets";
constexpr const char *kServicePath = "/org/freedesktop/secrets";
constexpr const char *kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char *kCollection = "org.freedesktop.Secret.Collection";
constexpr const char *kProperties = "org.freedesktop.DBus.Properties";

int sent = 0;
int answered = 0;
bool failed = false;

int on_answer(sd_bus_message *reply, void *, sd_bus_error *) {
    const sd_bus_error *error = sd_bus_message_get_error(reply);
    if (error != nullptr) {
        fprintf(stderr, "%s\n", error->message != nullptr ? error->message : error->name);
        failed = true;
    } else {
        printf("%s\n", sd_bus_message_get_signature(reply, 1));
    }
    answered++;
    return 0;
}

template <typename... Args>
void call(sd_bus *bus, const char *path, const char *interface, const char *method,
          const char *types, Args... args) {
    if (sd_bus_call_method_async(bus, nullptr, kService, path, interface, method, on_answer,
                                 nullptr, types, args...) >= 0)
        sent++;
    else
        failed = true;
}

void read_property(sd_bus *bus, const std::string &path, const char *property) {
    call(bus, path.c_str(), kProperties, "Get", "ss", kCollection, property);
}

void read_keyrings(sd_bus *bus) {
    call(bus, kServicePath, kProperties, "Get", "ss", kServiceInterface, "Collections");
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
    if (command == "list") {
        read_keyrings(bus);
    } else if (command == "getdef") {
        call(bus, kServicePath, kServiceInterface, "ReadAlias", "s", "default");
    } else if (command == "setdef") {
        call(bus, kServicePath, kServiceInterface, "SetAlias", "so", "default", path.c_str());
        call(bus, kServicePath, kServiceInterface, "ReadAlias", "s", "default");
        read_property(bus, path, "Locked");
    } else if (command == "info") {
        for (const char *property : {"Locked", "Created", "Modified"})
            read_property(bus, path, property);
    } else if (command == "lock") {
        call(bus, kServicePath, kServiceInterface, "Lock", "ao", 1, path.c_str());
        read_property(bus, path, "Locked");
    } else if (command == "delete") {
        read_property(bus, path, "Locked");
        call(bus, path.c_str(), kCollection, "Delete", "");
        read_keyrings(bus);
    }
    while (!failed && answered < sent) {
        if (sd_bus_process(bus, nullptr) > 0)
            continue;
        if (sd_bus_wait(bus, UINT64_MAX) < 0)
            return 1;
    }
    sd_bus_flush_close_unref(bus);
    g_main_loop_unref(loop);
    return failed || sent == 0 ? 1 : 0;
}
