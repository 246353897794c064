// The encrypted Secret Service session that carries passwords to the
// daemon: our public value goes out with OpenSession, the daemon's comes
// back, and both sides derive the same AES key. Only this algorithm is
// ever asked for; a daemon that refuses it gets no password at all.
#include "replies.h"
#include "request.h"

namespace keyring_client {
namespace {

constexpr const char *kAlgorithm = "dh-ietf1024-sha256-aes128-cbc-pkcs7";

Message open_session(const DhKeyPair &keys) {
    Message call = with_arguments(method_call(kServicePath, kServiceInterface, "OpenSession"), "s",
                                  kAlgorithm);
    PublicValue ours = keys.public_value();
    if (call == nullptr || sd_bus_message_open_container(call.get(), 'v', "ay") < 0 ||
        sd_bus_message_append_array(call.get(), 'y', ours.data(), ours.size()) < 0 ||
        sd_bus_message_close_container(call.get()) < 0)
        return nullptr;
    return call;
}

void on_session(Request &req) {
    auto result = replies_result(req);
    std::vector<uint8_t> theirs;
    if (result == GNOME_KEYRING_RESULT_OK)
        result = read_session(req.replies[0].value.get(), theirs, req.secret.session);
    if (result != GNOME_KEYRING_RESULT_OK)
        return finish(req, result);
    SessionKey key;
    std::string_view password(reinterpret_cast<const char *>(req.password.data()),
                              req.password.size());
    gcry_randomize(req.secret.iv.data(), req.secret.iv.size(), GCRY_STRONG_RANDOM);
    if (!key.ok() || !req.keys->derive_key(theirs, key.span()) ||
        !encrypt_cbc(key, req.secret.iv, password, req.secret.ciphertext))
        return finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    req.keys.reset();
    req.next = req.then;
    req.next(req);
}

} // namespace

void encrypt_password(Request &req, Step next) {
    if (!crypto_ready())
        return finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    req.keys = std::make_unique<DhKeyPair>();
    if (!req.keys->ok())
        return finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    req.then = next;
    send(req, open_session(*req.keys), on_session);
}

} // namespace keyring_client
