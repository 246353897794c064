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

} // namespace

GnomeKeyringResult encrypt_password(Request &req) {
    EncryptedSecret &secret = req.secret;
    if (!secret.session.empty())
        return GNOME_KEYRING_RESULT_OK;
    DhKeyPair keys;
    if (!keys.ok())
        return GNOME_KEYRING_RESULT_IO_ERROR;
    Batch batch;
    auto &opened = batch.add<read_session>(open_session(keys));
    if (auto result = batch.exchange(req.waiting); result != GNOME_KEYRING_RESULT_OK)
        return result;
    SessionKey key;
    std::string_view password(reinterpret_cast<const char *>(req.password.data()),
                              req.password.size());
    gcry_randomize(secret.iv.data(), secret.iv.size(), GCRY_STRONG_RANDOM);
    if (!key.ok() || !keys.derive_key(opened.value.public_value, key.span()) ||
        !encrypt_cbc(key, secret.iv, password, secret.ciphertext))
        return GNOME_KEYRING_RESULT_IO_ERROR;
    secret.session = opened.value.path;
    return GNOME_KEYRING_RESULT_OK;
}

} // namespace keyring_client
