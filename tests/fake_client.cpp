#include "fake_client.h"

#include <functional>
#include <memory>

FakeKeyring fake;

gboolean gnome_keyring_is_available() {
    return TRUE;
}

namespace {

using Answer = std::function<void()>;

// Answers from the loop, as the real library must, never from the call.
gpointer answer_later(const char *operation, const char *keyring, const char *password,
                      Answer answer) {
    fake.operation = operation;
    fake.keyring = keyring != nullptr ? keyring : "(null)";
    fake.password = password != nullptr ? password : "";
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) {
            (*static_cast<Answer *>(data))();
            return G_SOURCE_REMOVE;
        },
        std::make_unique<Answer>(std::move(answer)).release(),
        [](gpointer data) { std::unique_ptr<Answer>(static_cast<Answer *>(data)); });
    return nullptr;
}

gpointer answer_done(const char *operation, const char *keyring, const char *password,
                     GnomeKeyringDoneCallback callback, gpointer data) {
    return answer_later(operation, keyring, password, [=] { callback(fake.result, data); });
}

} // namespace

gpointer gnome_keyring_list_keyring_names(GnomeKeyringListCallback callback, gpointer data,
                                          GDestroyNotify) {
    return answer_later("list", nullptr, nullptr, [=] {
        GList *list = nullptr;
        for (const char *name : fake.names)
            list = g_list_append(list, const_cast<char *>(name));
        callback(fake.result, list, data);
        g_list_free(list);
    });
}

gpointer gnome_keyring_get_default_keyring(GnomeKeyringStringCallback callback, gpointer data,
                                           GDestroyNotify) {
    return answer_later("getdef", nullptr, nullptr,
                        [=] { callback(fake.result, fake.string, data); });
}

gpointer gnome_keyring_get_info(const char *keyring, GnomeKeyringInfoCallback callback,
                                gpointer data, GDestroyNotify) {
    return answer_later("info", keyring, nullptr, [=] {
        callback(fake.result, fake.result == GNOME_KEYRING_RESULT_OK ? &fake.info : nullptr, data);
    });
}

gpointer gnome_keyring_set_default_keyring(const char *keyring, GnomeKeyringDoneCallback callback,
                                           gpointer data, GDestroyNotify) {
    return answer_done("setdef", keyring, nullptr, callback, data);
}

gpointer gnome_keyring_create(const char *keyring, const char *password,
                              GnomeKeyringDoneCallback callback, gpointer data, GDestroyNotify) {
    return answer_done("create", keyring, password, callback, data);
}

gpointer gnome_keyring_delete(const char *keyring, GnomeKeyringDoneCallback callback, gpointer data,
                              GDestroyNotify) {
    return answer_done("delete", keyring, nullptr, callback, data);
}

gpointer gnome_keyring_lock(const char *keyring, GnomeKeyringDoneCallback callback, gpointer data,
                            GDestroyNotify) {
    return answer_done("lock", keyring, nullptr, callback, data);
}

gpointer gnome_keyring_unlock(const char *keyring, const char *password,
                              GnomeKeyringDoneCallback callback, gpointer data, GDestroyNotify) {
    return answer_done("unlock", keyring, password, callback, data);
}

gpointer gnome_keyring_needs_password(const char *keyring, gboolean,
                                      GnomeKeyringDoneCallback callback, gpointer data,
                                      GDestroyNotify) {
    return answer_done("look", keyring, nullptr, callback, data);
}
