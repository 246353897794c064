// The keyring operations of gnome-keyring.h, as Secret Service calls.
#include "gnome-keyring.h"
#include "lookup.h"
#include "names.h"
#include "replies.h"
#include "request.h"

#include <algorithm>

namespace keyring_client {
namespace {

// The outcome of a call whose answer carries nothing.
GnomeKeyringResult answered_empty(const Reply &reply) {
    auto result = reply_result(reply);
    return result != GNOME_KEYRING_RESULT_OK ? result : read_empty(reply.value.get());
}

// A change is done only when the keyring's state shows it, whatever the
// service answered: some services accept what they do not carry out. So
// the keyring's Locked property is read right behind the change; a service
// answers a connection's calls in order, so the read sees the state the
// change left, at no extra round trip, and tells whether the keyring exists.
void send_with_read_back(Request &req, std::vector<Message> calls) {
    calls.push_back(get_property(req.path, kCollectionInterface, "Locked"));
    send(req, std::move(calls), acted);
}

GnomeKeyringResult read_back(const Request &req, bool &locked) {
    const Reply &reply = req.replies.back();
    auto result = reply_result(reply);
    return result != GNOME_KEYRING_RESULT_OK ? result : read_locked(reply.value.get(), locked);
}

// The change's own failure first, then the read-back's; with neither, the
// change was accepted and not carried out.
GnomeKeyringResult not_done(GnomeKeyringResult change, GnomeKeyringResult state) {
    if (change != GNOME_KEYRING_RESULT_OK)
        return change;
    return state != GNOME_KEYRING_RESULT_OK ? state : GNOME_KEYRING_RESULT_NOT_SUPPORTED;
}

// The call with a Secret struct added: the session, the IV, the
// ciphertext, its content type.
Message with_secret(Message call, const EncryptedSecret &secret) {
    sd_bus_message *m = call.get();
    if (m == nullptr || sd_bus_message_open_container(m, 'r', "oayays") < 0 ||
        sd_bus_message_append_basic(m, 'o', secret.session.c_str()) < 0 ||
        sd_bus_message_append_array(m, 'y', secret.iv.data(), secret.iv.size()) < 0 ||
        sd_bus_message_append_array(m, 'y', secret.ciphertext.data(), secret.ciphertext.size()) <
            0 ||
        sd_bus_message_append_basic(m, 's', "text/plain") < 0 ||
        sd_bus_message_close_container(m) < 0)
        return nullptr;
    return call;
}

// KWallet and KeePassXC accept any path for an alias: only the alias read
// back says whether the keyring became the default.
constexpr KeyringAction kSetDefault = {
    [](Request &req) {
        std::vector<Message> calls;
        calls.push_back(with_arguments(method_call(kServicePath, kServiceInterface, "SetAlias"),
                                       "so", "default", req.path.c_str()));
        calls.push_back(with_arguments(method_call(kServicePath, kServiceInterface, "ReadAlias"),
                                       "s", "default"));
        send_with_read_back(req, std::move(calls));
    },
    [](Request &req) {
        bool locked = false;
        auto state = read_back(req, locked);
        if (state == GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
            return state;
        auto result = answered_empty(req.replies[0]);
        std::optional<std::string> alias;
        if (result == GNOME_KEYRING_RESULT_OK)
            result = reply_result(req.replies[1]);
        if (result == GNOME_KEYRING_RESULT_OK)
            result = read_alias(req.replies[1].value.get(), alias);
        return result == GNOME_KEYRING_RESULT_OK && alias == req.path ? result
                                                                      : not_done(result, state);
    },
};

constexpr KeyringAction kGetInfo = {
    [](Request &req) {
        // Three small reads sent together cost one round trip; GetAll
        // would also carry the path of every item in the keyring.
        std::vector<Message> calls;
        for (const char *property : {"Locked", "Created", "Modified"})
            calls.push_back(get_property(req.path, kCollectionInterface, property));
        send(req, std::move(calls), acted);
    },
    [](Request &req) {
        auto result = replies_result(req);
        if (result != GNOME_KEYRING_RESULT_OK)
            return result;
        return read_info(req.replies[0].value.get(), req.replies[1].value.get(),
                         req.replies[2].value.get(), req.info);
    },
};

// A keyring locked afterwards is a success, whatever the service said: a
// second Lock of a KWallet wallet is refused as invalid. One the service
// lists as locked and leaves open (gnome-keyring's in-memory "session") is
// not.
constexpr KeyringAction kLock = {
    [](Request &req) {
        std::vector<Message> calls;
        calls.push_back(with_arguments(method_call(kServicePath, kServiceInterface, "Lock"), "ao",
                                       1, req.path.c_str()));
        send_with_read_back(req, std::move(calls));
    },
    [](Request &req) {
        bool locked = false;
        auto state = read_back(req, locked);
        if (state == GNOME_KEYRING_RESULT_NO_SUCH_KEYRING ||
            (state == GNOME_KEYRING_RESULT_OK && locked))
            return state;
        auto result = reply_result(req.replies[0]);
        if (result == GNOME_KEYRING_RESULT_OK)
            result = read_lock(req.replies[0].value.get());
        return not_done(result, state);
    },
};

constexpr KeyringAction kDelete = {
    [](Request &req) {
        send(req, method_call(req.path.c_str(), kCollectionInterface, "Delete"), acted);
    },
    [](Request &req) {
        auto result = replies_result(req);
        return result != GNOME_KEYRING_RESULT_OK ? result : read_prompt(req.replies[0].value.get());
    },
};

constexpr KeyringAction kUnlock = {
    [](Request &req) {
        Message call = method_call(kServicePath, kMasterInterface, "UnlockWithMasterPassword");
        call = with_arguments(std::move(call), "o", req.path.c_str());
        std::vector<Message> calls;
        calls.push_back(with_secret(std::move(call), req.secret));
        send_with_read_back(req, std::move(calls));
    },
    [](Request &req) {
        bool locked = true;
        auto state = read_back(req, locked);
        if (state == GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
            return state;
        auto result = answered_empty(req.replies[0]);
        return result == GNOME_KEYRING_RESULT_OK && state == GNOME_KEYRING_RESULT_OK && !locked
                   ? result
                   : not_done(result, state);
    },
};

// Racers for one name may all have passed the check for it before any of
// them created its keyring. So each looks again once its own exists: the
// keyring the name finds stays, and every other racer takes back the one
// it made. All compute the same winner, and the daemon never gives a later
// keyring an earlier place, so exactly one says it created the keyring.
void settle_create(Request &req) {
    std::vector<std::string> found;
    auto result = labelled_paths(req, found);
    if (result != GNOME_KEYRING_RESULT_OK)
        return finish(req, result);
    auto winner = keyring_for_name(req.name, req.paths, found);
    if (!winner || *winner == req.path)
        return finish(req, GNOME_KEYRING_RESULT_OK);
    send(req, method_call(req.path.c_str(), kCollectionInterface, "Delete"), [](Request &req) {
        // Failing to take it back changes nothing: the name is another's.
        replies_result(req);
        finish(req, GNOME_KEYRING_RESULT_ALREADY_EXISTS);
    });
}

void send_create(Request &req) {
    Message call = method_call(kServicePath, kMasterInterface, "CreateWithMasterPassword");
    call = with_arguments(std::move(call), "a{sv}", 1, "org.freedesktop.Secret.Collection.Label",
                          "s", req.name.c_str());
    send(req, with_secret(std::move(call), req.secret), [](Request &req) {
        auto result = replies_result(req);
        if (result == GNOME_KEYRING_RESULT_OK)
            result = read_created(req.replies[0].value.get(), req.path);
        // Only a keyring that was not there before is the one just made.
        if (result == GNOME_KEYRING_RESULT_OK &&
            std::ranges::find(req.paths, req.path) != req.paths.end())
            result = GNOME_KEYRING_RESULT_IO_ERROR;
        if (result != GNOME_KEYRING_RESULT_OK)
            return finish(req, result);
        // A keyring at the name's own path is the one the name finds, for
        // every racer alike: no other keyring need be looked at.
        if (req.path == path_for_name(req.name))
            return finish(req, GNOME_KEYRING_RESULT_OK);
        read_labels(req, settle_create);
    });
}

// The daemon does not refuse a name in use (it makes "work_1" for a
// second "work"), so the library refuses it by the same lookup as the
// other operations.
void create_if_new(Request &req) {
    std::vector<std::string> found;
    auto result = labelled_paths(req, found);
    if (result != GNOME_KEYRING_RESULT_OK)
        return finish(req, result);
    if (keyring_for_name(req.name, req.paths, found))
        return finish(req, GNOME_KEYRING_RESULT_ALREADY_EXISTS);
    encrypt_password(req, send_create);
}

std::unique_ptr<Request> keyring_request(const char *keyring, gpointer data,
                                         GDestroyNotify destroy_data) {
    auto req = std::make_unique<Request>();
    req->name = keyring != nullptr ? keyring : "";
    req->data = data;
    req->destroy_data = destroy_data;
    return req;
}

std::unique_ptr<Request> done_request(const char *keyring, const KeyringAction *action,
                                      GnomeKeyringDoneCallback callback, gpointer data,
                                      GDestroyNotify destroy_data) {
    auto req = keyring_request(keyring, data, destroy_data);
    req->on_done = callback;
    req->action = action;
    return req;
}

void keep_password(Request &req, const char *password) {
    std::string_view text = password != nullptr ? password : "";
    req.password.assign(text.begin(), text.end());
}

} // namespace

} // namespace keyring_client

using namespace keyring_client;

gboolean gnome_keyring_is_available() {
    Waiting waiting;
    return find_service(waiting.deadline()) ? TRUE : FALSE;
}

gpointer gnome_keyring_list_keyring_names(GnomeKeyringListCallback callback, gpointer data,
                                          GDestroyNotify destroy_data) {
    auto req = keyring_request(nullptr, data, destroy_data);
    req->on_list = callback;
    return start(std::move(req), [](Request &req) {
        send(req, get_property(kServicePath, kServiceInterface, "Collections"), [](Request &req) {
            auto result = replies_result(req);
            if (result == GNOME_KEYRING_RESULT_OK)
                result = read_paths(req.replies[0].value.get(), req.paths);
            for (const auto &path : req.paths)
                req.names.push_back(name_for_path(path));
            finish(req, result);
        });
    });
}

gpointer gnome_keyring_get_default_keyring(GnomeKeyringStringCallback callback, gpointer data,
                                           GDestroyNotify destroy_data) {
    auto req = keyring_request(nullptr, data, destroy_data);
    req->on_string = callback;
    return start(std::move(req), [](Request &req) {
        Message call = method_call(kServicePath, kServiceInterface, "ReadAlias");
        send(req, with_arguments(std::move(call), "s", "default"), [](Request &req) {
            auto result = replies_result(req);
            std::optional<std::string> path;
            if (result == GNOME_KEYRING_RESULT_OK)
                result = read_alias(req.replies[0].value.get(), path);
            if (path)
                req.found = name_for_path(*path);
            finish(req, result);
        });
    });
}

gpointer gnome_keyring_set_default_keyring(const char *keyring, GnomeKeyringDoneCallback callback,
                                           gpointer data, GDestroyNotify destroy_data) {
    return start(done_request(keyring, &kSetDefault, callback, data, destroy_data), act_on_name);
}

gpointer gnome_keyring_get_info(const char *keyring, GnomeKeyringInfoCallback callback,
                                gpointer data, GDestroyNotify destroy_data) {
    auto req = keyring_request(keyring, data, destroy_data);
    req->on_info = callback;
    req->action = &kGetInfo;
    return start(std::move(req), act_on_name);
}

gpointer gnome_keyring_lock(const char *keyring, GnomeKeyringDoneCallback callback, gpointer data,
                            GDestroyNotify destroy_data) {
    return start(done_request(keyring, &kLock, callback, data, destroy_data), act_on_name);
}

gpointer gnome_keyring_delete(const char *keyring, GnomeKeyringDoneCallback callback, gpointer data,
                              GDestroyNotify destroy_data) {
    return start(done_request(keyring, &kDelete, callback, data, destroy_data), act_on_name);
}

gpointer gnome_keyring_unlock(const char *keyring, const char *password,
                              GnomeKeyringDoneCallback callback, gpointer data,
                              GDestroyNotify destroy_data) {
    auto req = done_request(keyring, &kUnlock, callback, data, destroy_data);
    keep_password(*req, password);
    return start(std::move(req), [](Request &req) {
        if (req.name.empty())
            return finish(req, GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
        encrypt_password(req, act_on_name);
    });
}

gpointer gnome_keyring_create(const char *keyring, const char *password,
                              GnomeKeyringDoneCallback callback, gpointer data,
                              GDestroyNotify destroy_data) {
    auto req = done_request(keyring, nullptr, callback, data, destroy_data);
    keep_password(*req, password);
    return start(std::move(req), [](Request &req) {
        // A label must be UTF-8, and the daemon would call a nameless
        // keyring "unnamed": neither can be created under the name asked for.
        if (req.name.empty() || !g_utf8_validate(req.name.c_str(), -1, nullptr))
            return finish(req, GNOME_KEYRING_RESULT_BAD_ARGUMENTS);
        read_labels(req, create_if_new);
    });
}
