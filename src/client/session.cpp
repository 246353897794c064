// The encrypted Secret Service session that carries passwords to the
// daemon. libsecret negotiates it; only create and unlock come here.
#define SECRET_WITH_UNSTABLE 1
#define SECRET_API_SUBJECT_TO_CHANGE 1
#include "request.h"

#include <cstring>
#include <libsecret/secret.h>

namespace keyring_client {
namespace {

constexpr std::string_view kEncryptedAlgorithm = "dh-ietf1024-sha256-aes128-cbc-pkcs7";

void wipe_and_free(gpointer text) {
    auto *bytes = static_cast<char *>(text);
    explicit_bzero(bytes, strlen(bytes));
    g_free(bytes);
}

void on_session(GObject * /*source*/, GAsyncResult *result, gpointer data) {
    auto &req = *static_cast<Request *>(data);
    g_autoptr(GError) error = nullptr;
    g_autoptr(SecretService) service = secret_service_open_finish(result, &error);
    if (service == nullptr) {
        Reply reply;
        reply.error.reset(g_steal_pointer(&error));
        return finish(req, failure(req, reply));
    }
    // libsecret falls back to sending passwords in the clear when the
    // daemon offers nothing better; never let one travel that way.
    const char *algorithm = secret_service_get_session_algorithms(service);
    if (algorithm == nullptr || algorithm != kEncryptedAlgorithm)
        return finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    auto password = req.password->view();
    auto *copy = static_cast<char *>(g_malloc(password.size() + 1));
    memcpy(copy, password.data(), password.size());
    copy[password.size()] = '\0';
    SecretValue *value = secret_value_new_full(copy, static_cast<gssize>(password.size()),
                                               "text/plain", wipe_and_free);
    GVariant *encoded = secret_service_encode_dbus_secret(service, value);
    secret_value_unref(value);
    if (encoded == nullptr)
        return finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    req.secret.reset(g_variant_ref_sink(encoded));
    // The session lives as long as its service object: keep it to the end.
    req.session.reset(G_OBJECT(g_steal_pointer(&service)));
    req.next(req);
}

} // namespace

void encode_password(Request &req, Step next) {
    req.next = next;
    secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, req.cancellable,
                        on_session, &req);
}

} // namespace keyring_client
