// The floor for the commands that send a password: connect, open the
// encrypted Secret Service session with libsecret, make the one D-Bus
// call, exit. Also fills keyrings for the growth measurements.
//
//   floor_session create NAME PASSWORD | unlock NAME PASSWORD
//   floor_session keyrings PREFIX COUNT     COUNT keyrings PREFIX0..
//   floor_session items NAME COUNT          COUNT items into keyring NAME
#define SECRET_WITH_UNSTABLE 1
#define SECRET_API_SUBJECT_TO_CHANGE 1
#include <cstdio>
#include <cstring>
#include <libsecret/secret.h>
#include <string>

namespace {

constexpr const char *kService = "org.freedesktop.secrets";
constexpr const char *kServicePath = "/org/freedesktop/secrets";
constexpr const char *kMaster = "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

GDBusConnection *bus;
SecretService *service;

GVariant *secret(const char *password) {
    SecretValue *value = secret_value_new(password, -1, "text/plain");
    GVariant *encoded = secret_service_encode_dbus_secret(service, value);
    secret_value_unref(value);
    return encoded;
}

bool call(const char *path, const char *interface, const char *method, GVariant *params) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply =
        g_dbus_connection_call_sync(bus, kService, path, interface, method, params, nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    if (reply == nullptr) {
        fprintf(stderr, "%s\n", error->message);
        return false;
    }
    return true;
}

bool create(const char *name, const char *password) {
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string(name));
    return call(kServicePath, kMaster, "CreateWithMasterPassword",
                g_variant_new("(a{sv}@(oayays))", &properties, secret(password)));
}

bool add_item(const std::string &collection, int n) {
    std::string label = "item " + std::to_string(n);
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "n", std::to_string(n).c_str());
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Label",
                          g_variant_new_string(label.c_str()));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Item.Attributes",
                          g_variant_builder_end(&attributes));
    return call(collection.c_str(), "org.freedesktop.Secret.Collection", "CreateItem",
                g_variant_new("(a{sv}@(oayays)b)", &properties, secret("item secret"), FALSE));
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4)
        return 2;
    std::string command = argv[1];
    g_autoptr(GError) error = nullptr;
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    service = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION,
                                       nullptr, &error);
    if (bus == nullptr || service == nullptr)
        return 2;
    std::string path = std::string(kServicePath) + "/collection/" + argv[2];
    bool ok = false;
    if (command == "create") {
        ok = create(argv[2], argv[3]);
    } else if (command == "unlock") {
        ok = call(kServicePath, kMaster, "UnlockWithMasterPassword",
                  g_variant_new("(o@(oayays))", path.c_str(), secret(argv[3])));
    } else if (command == "keyrings") {
        ok = true;
        for (int i = 0; ok && i < atoi(argv[3]); i++)
            ok = create((std::string(argv[2]) + std::to_string(i)).c_str(), "pw");
    } else if (command == "items") {
        ok = true;
        for (int i = 0; ok && i < atoi(argv[3]); i++)
            ok = add_item(path, i);
    }
    return ok ? 0 : 1;
}
