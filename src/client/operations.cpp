// The keyring operations of gnome-keyring.h, as Secret Service calls.
#include "gnome-keyring.h"
#include "lookup.h"
#include "names.h"
#include "replies.h"
#include "request.h"

#include <algorithm>

namespace keyring_client {
namespace {

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

Message read_of_locked(const Request &req) {
    return get_property(req.path, kCollectionInterface, "Locked");
}

// A keyring's Locked property as read: NO_SUCH_KEYRING when it is not there.
GnomeKeyringResult locked_state(const Reply &reply, bool &locked) {
    auto result = reply_result(reply);
    return result != GNOME_KEYRING_RESULT_OK ? result : read_locked(reply.value.get(), locked);
}

} // namespace

// What a change must leave in the keyring's state.
enum class Shows { Locked, Open, Default, Gone };

// A change to the keyring at req.path: its one call, what the call's own
// answer means, and what the keyring's state must show once it is done.
struct Change {
    Message (*call)(const Request &req);
    GnomeKeyringResult (*answered)(sd_bus_message *reply);
    Shows shows;
};

namespace {

// The service accepted a change that its state does not show: it would
// not carry it out (gnome-keyring never locks its in-memory "session"), or
// another client undid it at once.
constexpr GnomeKeyringResult kNotDone = GNOME_KEYRING_RESULT_DENIED;

// One rule for every change: it is done only when the keyring's state,
// read right behind it, shows it done, whatever the service answered;
// some services accept what they do not carry out, and refuse what is done
// already. A read that failed confirms nothing. The reads go out with the
// change, at no extra round trip: the keyring's Locked property, which
// also tells whether it is there; behind a set-default, the default alias;
// for a delete, the keyring's Locked before and the service's list of
// keyrings after (KWallet drops a deleted wallet from the list at once,
// its object a moment later).
//
// The bus hands the service one connection's calls in the order sent, and
// gnome-keyring, KWallet and KeePassXC answer each having carried it out:
// tests/providers_test.sh sees every change reported done there, where a
// read answered first would fail it. A service that read the state before
// carrying out the change would show it as it stood before: a keyring
// locked, open or the default already stays so after a lock, an unlock or
// a set-default, and a delete needs the keyring there before and unlisted
// after, which no order of those two reads shows falsely. So a service out
// of order can fail a change that was done, never confirm one that was not.
void send_change(Request &req) {
    const Change &change = *req.action->change;
    const bool deleting = change.shows == Shows::Gone;
    std::vector<Message> calls;
    if (deleting)
        calls.push_back(read_of_locked(req));
    calls.push_back(change.call(req));
    if (change.shows == Shows::Default)
        calls.push_back(with_arguments(method_call(kServicePath, kServiceInterface, "ReadAlias"),
                                       "s", "default"));
    calls.push_back(deleting ? read_of_keyrings() : read_of_locked(req));
    send(req, std::move(calls), acted);
}

// The keyring's state as read behind a change.
struct State {
    GnomeKeyringResult read = GNOME_KEYRING_RESULT_OK; // the first read that failed
    bool missing = false;                              // unlisted after
    bool locked = false;
    std::optional<std::string> alias;
};

bool shows(Shows wanted, const State &state, const std::string &path) {
    switch (wanted) {
    case Shows::Locked:
        return state.locked;
    case Shows::Open:
        return !state.locked;
    case Shows::Default:
        return state.alias == path;
    case Shows::Gone:
        return state.missing;
    }
    return false;
}

GnomeKeyringResult change_outcome(Request &req) {
    const Change &change = *req.action->change;
    const bool deleting = change.shows == Shows::Gone;
    auto reply = req.replies.begin();
    State state;
    // Not there before a delete, or after any other change: looked for by
    // its label next.
    if (deleting) {
        bool locked = false;
        state.read = locked_state(*reply++, locked);
        if (state.read == GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
            return state.read;
    }
    auto answered = reply_result(*reply);
    if (answered == GNOME_KEYRING_RESULT_OK)
        answered = change.answered(reply->value.get());
    ++reply;
    if (change.shows == Shows::Default) {
        state.read = reply_result(*reply);
        if (state.read == GNOME_KEYRING_RESULT_OK)
            state.read = read_alias(reply->value.get(), state.alias);
        ++reply;
    }
    GnomeKeyringResult after = GNOME_KEYRING_RESULT_OK;
    if (deleting) {
        std::vector<std::string> listed;
        after = reply_result(*reply);
        if (after == GNOME_KEYRING_RESULT_OK)
            after = read_paths(reply->value.get(), listed);
        state.missing = std::ranges::find(listed, req.path) == listed.end();
    } else {
        after = locked_state(*reply, state.locked);
        if (after == GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
            return after;
    }
    if (state.read == GNOME_KEYRING_RESULT_OK)
        state.read = after;
    if (state.read == GNOME_KEYRING_RESULT_OK && shows(change.shows, state, req.path))
        return GNOME_KEYRING_RESULT_OK;
    if (answered != GNOME_KEYRING_RESULT_OK)
        return answered;
    return state.read != GNOME_KEYRING_RESULT_OK ? state.read : kNotDone;
}

// KWallet and KeePassXC accept any path for an alias, so the alias is read
// back.
constexpr Change kSetDefaultChange = {
    [](const Request &req) {
        return with_arguments(method_call(kServicePath, kServiceInterface, "SetAlias"), "so",
                              "default", req.path.c_str());
    },
    read_empty,
    Shows::Default,
};

// A second Lock of a KWallet wallet is refused as invalid, yet it is
// locked: a success.
constexpr Change kLockChange = {
    [](const Request &req) {
        return with_arguments(method_call(kServicePath, kServiceInterface, "Lock"), "ao", 1,
                              req.path.c_str());
    },
    read_lock,
    Shows::Locked,
};

constexpr Change kDeleteChange = {
    [](const Request &req) {
        return method_call(req.path.c_str(), kCollectionInterface, "Delete");
    },
    read_prompt,
    Shows::Gone,
};

// A keyring open afterwards is unlocked, whatever the service said: KWallet
// and KeePassXC lack the call, and an open keyring needs none.
constexpr Change kUnlockChange = {
    [](const Request &req) {
        Message call = method_call(kServicePath, kMasterInterface, "UnlockWithMasterPassword");
        return with_secret(with_arguments(std::move(call), "o", req.path.c_str()), req.secret);
    },
    read_empty,
    Shows::Open,
};

constexpr KeyringAction kSetDefault = {send_change, change_outcome, &kSetDefaultChange};
constexpr KeyringAction kLock = {send_change, change_outcome, &kLockChange};
constexpr KeyringAction kDelete = {send_change, change_outcome, &kDeleteChange};
constexpr KeyringAction kUnlock = {send_change, change_outcome, &kUnlockChange};

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

// Whether the service takes passwords: gnome-keyring's own interface, which
// KWallet and KeePassXC lack. Asking for its properties tells; GDBus calls
// an interface the object lacks invalid arguments, Qt an unknown interface.
Message ask_for_password_interface() {
    return with_arguments(method_call(kServicePath, kPropertiesInterface, "GetAll"), "s",
                          kMasterInterface);
}

GnomeKeyringResult password_interface(const Reply &reply) {
    auto result = reply_result(reply);
    if (result == GNOME_KEYRING_RESULT_BAD_ARGUMENTS)
        return GNOME_KEYRING_RESULT_NOT_SUPPORTED;
    return result != GNOME_KEYRING_RESULT_OK ? result : read_properties(reply.value.get());
}

// Before an unlock: the keyring's lock state, and whether the service takes
// passwords at all.
constexpr KeyringAction kLookBeforeUnlock = {
    [](Request &req) {
        std::vector<Message> calls;
        calls.push_back(read_of_locked(req));
        calls.push_back(ask_for_password_interface());
        send(req, std::move(calls), acted);
    },
    [](Request &req) {
        bool locked = false;
        auto result = locked_state(req.replies[0], locked);
        if (result != GNOME_KEYRING_RESULT_OK)
            return result;
        return locked ? password_interface(req.replies[1]) : GNOME_KEYRING_RESULT_ALREADY_UNLOCKED;
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

// The keyring made is one the service lists, read right behind the call,
// and one that was not there before.
void on_created(Request &req) {
    auto result = replies_result(req);
    if (result == GNOME_KEYRING_RESULT_OK)
        result = read_created(req.replies[0].value.get(), req.path);
    std::vector<std::string> listed;
    if (result == GNOME_KEYRING_RESULT_OK)
        result = read_paths(req.replies[1].value.get(), listed);
    auto lists = [&req](const std::vector<std::string> &paths) {
        return std::ranges::find(paths, req.path) != paths.end();
    };
    if (result == GNOME_KEYRING_RESULT_OK && (lists(req.paths) || !lists(listed)))
        result = GNOME_KEYRING_RESULT_IO_ERROR;
    if (result != GNOME_KEYRING_RESULT_OK)
        return finish(req, result);
    // A keyring at the name's own path is the one the name finds, for
    // every racer alike: no other keyring need be looked at.
    if (req.path == path_for_name(req.name))
        return finish(req, GNOME_KEYRING_RESULT_OK);
    req.paths = std::move(listed);
    read_labels_of_paths(req, settle_create);
}

void send_create(Request &req) {
    Message call = method_call(kServicePath, kMasterInterface, "CreateWithMasterPassword");
    call = with_arguments(std::move(call), "a{sv}", 1, "org.freedesktop.Secret.Collection.Label",
                          "s", req.name.c_str());
    std::vector<Message> calls;
    calls.push_back(with_secret(std::move(call), req.secret));
    calls.push_back(read_of_keyrings());
    send(req, std::move(calls), on_created);
}

// The daemon does not refuse a name in use (it makes "work_1" for a
// second "work"), so the library refuses it by the same lookup as the
// other operations.
GnomeKeyringResult name_in_use(const Request &req) {
    std::vector<std::string> found;
    auto result = labelled_paths(req, found);
    if (result == GNOME_KEYRING_RESULT_OK && keyring_for_name(req.name, req.paths, found))
        result = GNOME_KEYRING_RESULT_ALREADY_EXISTS;
    return result;
}

// A label must be UTF-8, and the daemon would call a nameless keyring
// "unnamed": neither can be created under the name asked for. A name that
// can is looked up; next runs when it finds no keyring.
template <Step next> void check_new_name(Request &req) {
    if (req.name.empty() || !g_utf8_validate(req.name.c_str(), -1, nullptr))
        return finish(req, GNOME_KEYRING_RESULT_BAD_ARGUMENTS);
    read_labels(req, [](Request &req) {
        auto result = name_in_use(req);
        if (result != GNOME_KEYRING_RESULT_OK)
            return finish(req, result);
        next(req);
    });
}

// An empty name names no keyring; next runs for any other.
template <Step next> void check_name(Request &req) {
    if (req.name.empty())
        return finish(req, GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
    next(req);
}

void encrypt_and_act(Request &req) {
    encrypt_password(req, act_on_name);
}

void encrypt_and_create(Request &req) {
    encrypt_password(req, send_create);
}

void look_for_password_interface(Request &req) {
    send(req, ask_for_password_interface(),
         [](Request &req) { finish(req, password_interface(req.replies[0])); });
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
        send(req, read_of_keyrings(), [](Request &req) {
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
    return start(std::move(req), check_name<encrypt_and_act>);
}

gpointer gnome_keyring_create(const char *keyring, const char *password,
                              GnomeKeyringDoneCallback callback, gpointer data,
                              GDestroyNotify destroy_data) {
    auto req = done_request(keyring, nullptr, callback, data, destroy_data);
    keep_password(*req, password);
    return start(std::move(req), check_new_name<encrypt_and_create>);
}

// The checks in the order the operation itself makes them.
gpointer gnome_keyring_needs_password(const char *keyring, gboolean creating,
                                      GnomeKeyringDoneCallback callback, gpointer data,
                                      GDestroyNotify destroy_data) {
    if (creating != FALSE)
        return start(done_request(keyring, nullptr, callback, data, destroy_data),
                     check_new_name<look_for_password_interface>);
    return start(done_request(keyring, &kLookBeforeUnlock, callback, data, destroy_data),
                 check_name<act_on_name>);
}
