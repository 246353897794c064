// The encrypted Secret Service session that carries passwords to the
// daemon. libsecret negotiates it; only create and unlock come here, so
// libsecret (and the crypto library beneath it) is loaded on first use
// rather than by every command at start-up.
#define SECRET_WITH_UNSTABLE 1
#define SECRET_API_SUBJECT_TO_CHANGE 1
#include "request.h"

#include <cstring>
#include <gmodule.h>
#include <libsecret/secret.h>

namespace keyring_client {
namespace {

constexpr std::string_view kEncryptedAlgorithm = "dh-ietf1024-sha256-aes128-cbc-pkcs7";
constexpr const char *kLibSecret = "libsecret-1.so.0";

struct LibSecret {
    decltype(&secret_service_get_type) service_get_type;
    decltype(&secret_service_open) service_open;
    decltype(&secret_service_open_finish) service_open_finish;
    decltype(&secret_service_get_session_algorithms) session_algorithms;
    decltype(&secret_value_new_full) value_new_full;
    decltype(&secret_value_unref) value_unref;
    decltype(&secret_service_encode_dbus_secret) encode_dbus_secret;
};

template <typename Function> bool find(GModule *module, const char *name, Function &function) {
    gpointer symbol = nullptr;
    if (!g_module_symbol(module, name, &symbol))
        return false;
    function = reinterpret_cast<Function>(symbol);
    return true;
}

// Null when libsecret cannot be loaded; the module stays for the process.
const LibSecret *libsecret() {
    static LibSecret functions;
    static bool loaded = [] {
        GModule *module = g_module_open(kLibSecret, G_MODULE_BIND_LOCAL);
        if (module == nullptr) {
            g_debug("cannot load %s: %s", kLibSecret, g_module_error());
            return false;
        }
        return find(module, "secret_service_get_type", functions.service_get_type) &&
               find(module, "secret_service_open", functions.service_open) &&
               find(module, "secret_service_open_finish", functions.service_open_finish) &&
               find(module, "secret_service_get_session_algorithms",
                    functions.session_algorithms) &&
               find(module, "secret_value_new_full", functions.value_new_full) &&
               find(module, "secret_value_unref", functions.value_unref) &&
               find(module, "secret_service_encode_dbus_secret", functions.encode_dbus_secret);
    }();
    return loaded ? &functions : nullptr;
}

void wipe_and_free(gpointer text) {
    auto *bytes = static_cast<char *>(text);
    explicit_bzero(bytes, strlen(bytes));
    g_free(bytes);
}

void on_session(GObject * /*source*/, GAsyncResult *result, gpointer data) {
    auto &req = *static_cast<Request *>(data);
    const LibSecret &lib = *libsecret();
    g_autoptr(GError) error = nullptr;
    g_autoptr(SecretService) service = lib.service_open_finish(result, &error);
    if (service == nullptr)
        return finish(req, failure(req, error, false));
    // libsecret falls back to sending passwords in the clear when the
    // daemon offers nothing better; never let one travel that way.
    const char *algorithm = lib.session_algorithms(service);
    if (algorithm == nullptr || algorithm != kEncryptedAlgorithm)
        return finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    auto password = req.password->view();
    auto *copy = static_cast<char *>(g_malloc(password.size() + 1));
    memcpy(copy, password.data(), password.size());
    copy[password.size()] = '\0';
    SecretValue *value =
        lib.value_new_full(copy, static_cast<gssize>(password.size()), "text/plain", wipe_and_free);
    GVariant *encoded = lib.encode_dbus_secret(service, value);
    lib.value_unref(value);
    if (encoded == nullptr)
        return finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    req.secret.reset(g_variant_ref_sink(encoded));
    // The session lives as long as its service object: keep it to the end.
    req.session.reset(G_OBJECT(g_steal_pointer(&service)));
    req.next(req);
}

} // namespace

void encode_password(Request &req, Step next) {
    const LibSecret *lib = libsecret();
    if (lib == nullptr)
        return finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    req.next = next;
    lib->service_open(lib->service_get_type(), nullptr, SECRET_SERVICE_OPEN_SESSION,
                      req.cancellable, on_session, &req);
}

} // namespace keyring_client
