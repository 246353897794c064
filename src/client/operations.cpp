// The keyring operations of gnome-keyring.h, as Secret Service calls. Each
// reads top to bottom: find the keyring, open the session a password
// travels in, send the change with the reads that confirm it, judge.
#include "gnome-keyring.h"
#include "lookup.h"
#include "names.h"
#include "replies.h"
#include "request.h"

#include <algorithm>

namespace keyring_client {
namespace {

// The service accepted a change that its state does not show: it would
// not carry it out (gnome-keyring never locks its in-memory "session"), or
// another client undid it at once.
constexpr GnomeKeyringResult kNotDone = GNOME_KEYRING_RESULT_DENIED;

Message service_call(const char *method) {
    return method_call(kServicePath, kServiceInterface, method);
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

// A keyring's Locked property, which also tells whether it is there.
Message locked_property(const std::string &path) {
    return get_property(path, kCollectionInterface, "Locked");
}

// The keyring the default alias names, if any.
Message default_alias() {
    return with_arguments(service_call("ReadAlias"), "s", "default");
}

// Whether the service takes passwords: gnome-keyring's own interface, which
// KWallet and KeePassXC lack. Asking for its properties tells; GDBus calls
// an interface the object lacks invalid arguments, Qt an unknown interface.
Message password_interface_properties() {
    return with_arguments(method_call(kServicePath, kPropertiesInterface, "GetAll"), "s",
                          kMasterInterface);
}

GnomeKeyringResult password_interface(GnomeKeyringResult outcome) {
    return outcome == GNOME_KEYRING_RESULT_BAD_ARGUMENTS ? GNOME_KEYRING_RESULT_NOT_SUPPORTED
                                                         : outcome;
}

bool lists(const std::vector<std::string> &paths, const std::string &path) {
    return std::ranges::find(paths, path) != paths.end();
}

// One rule for every change: it is done only when the keyring's state,
// read right behind it, shows it done (shown), whatever the service
// answered; some services accept what they do not carry out, and refuse
// what is done already. A read that failed confirms nothing. The reads go
// out with the change, at no extra round trip: the keyring's Locked
// property, which also tells whether it is there; behind a set-default,
// the default alias; for a delete, the keyring's Locked before and the
// service's list of keyrings after (KWallet drops a deleted wallet from
// the list at once, its object a moment later). NO_SUCH_KEYRING when the
// read that tells (there) finds no keyring.
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
GnomeKeyringResult judged(const Batch &batch, const Outcome &answer, const Outcome &there,
                          std::initializer_list<const Outcome *> reads, bool shown) {
    if (!batch.complete())
        return GNOME_KEYRING_RESULT_IO_ERROR;
    if (there.outcome == GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
        return GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
    auto read = GNOME_KEYRING_RESULT_OK;
    for (const auto *r : reads) {
        if (read == GNOME_KEYRING_RESULT_OK)
            read = r->outcome;
    }
    if (read == GNOME_KEYRING_RESULT_OK && shown)
        return GNOME_KEYRING_RESULT_OK;
    if (answer.outcome != GNOME_KEYRING_RESULT_OK)
        return answer.outcome;
    return read != GNOME_KEYRING_RESULT_OK ? read : kNotDone;
}

// An operation on a named keyring: on the keyring at the name's own path;
// when none is there, on the one keyring labelled so. The first try costs
// nothing more when the name is a label.
template <GnomeKeyringResult (*At)(Request &, const std::string &path)>
GnomeKeyringResult by_name(Request &req) {
    Found own = own_keyring(req);
    auto result = own.result == GNOME_KEYRING_RESULT_OK ? At(req, own.path) : own.result;
    if (result != GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
        return result;
    Found labelled = find_keyring(req);
    return labelled.result == GNOME_KEYRING_RESULT_OK ? At(req, labelled.path) : labelled.result;
}

// A second Lock of a KWallet wallet is refused as invalid, yet it is
// locked: a success.
GnomeKeyringResult lock(Request &req, const std::string &path) {
    Batch batch;
    const auto &answer =
        batch.add<read_lock>(with_arguments(service_call("Lock"), "ao", 1, path.c_str()));
    const auto &locked = batch.add<read_locked>(locked_property(path));
    batch.exchange(req.waiting);
    return judged(batch, answer, locked, {&locked}, locked.value);
}

// KWallet and KeePassXC accept any path for an alias, so the alias is read
// back.
GnomeKeyringResult set_default(Request &req, const std::string &path) {
    Batch batch;
    const auto &answer = batch.add<read_empty>(
        with_arguments(service_call("SetAlias"), "so", "default", path.c_str()));
    const auto &alias = batch.add<read_alias>(default_alias());
    const auto &locked = batch.add<read_locked>(locked_property(path));
    batch.exchange(req.waiting);
    return judged(batch, answer, locked, {&alias, &locked}, alias.value == path);
}

GnomeKeyringResult delete_keyring(Request &req, const std::string &path) {
    Batch batch;
    const auto &before = batch.add<read_locked>(locked_property(path));
    const auto &answer =
        batch.add<read_prompt>(method_call(path.c_str(), kCollectionInterface, "Delete"));
    const auto &listed = add_read_of_keyrings(batch);
    batch.exchange(req.waiting);
    return judged(batch, answer, before, {&before, &listed}, !lists(listed.value, path));
}

// A keyring open afterwards is unlocked, whatever the service said:
// KWallet and KeePassXC lack the call, and an open keyring needs none.
GnomeKeyringResult unlock(Request &req, const std::string &path) {
    if (auto result = encrypt_password(req); result != GNOME_KEYRING_RESULT_OK)
        return result;
    Message call = method_call(kServicePath, kMasterInterface, "UnlockWithMasterPassword");
    Batch batch;
    const auto &answer = batch.add<read_empty>(
        with_secret(with_arguments(std::move(call), "o", path.c_str()), req.secret));
    const auto &locked = batch.add<read_locked>(locked_property(path));
    batch.exchange(req.waiting);
    return judged(batch, answer, locked, {&locked}, !locked.value);
}

GnomeKeyringResult info(Request &req, const std::string &path) {
    // Three small reads sent together cost one round trip; GetAll would
    // also carry the path of every item in the keyring.
    Batch batch;
    const auto &locked = batch.add<read_locked>(locked_property(path));
    const auto &created = batch.add<read_time>(get_property(path, kCollectionInterface, "Created"));
    const auto &modified =
        batch.add<read_time>(get_property(path, kCollectionInterface, "Modified"));
    auto result = batch.exchange(req.waiting);
    req.info.locked = locked.value;
    req.info.ctime = created.value;
    req.info.mtime = modified.value;
    return result;
}

GnomeKeyringResult list(Request &req) {
    Batch batch;
    const auto &listed = add_read_of_keyrings(batch);
    auto result = batch.exchange(req.waiting);
    for (const auto &path : listed.value)
        req.names.push_back(name_for_path(path));
    return result;
}

GnomeKeyringResult get_default(Request &req) {
    Batch batch;
    const auto &alias = batch.add<read_alias>(default_alias());
    auto result = batch.exchange(req.waiting);
    if (alias.value)
        req.found = name_for_path(*alias.value);
    return result;
}

// A label must be UTF-8, and the daemon would call a nameless keyring
// "unnamed": neither can be created under the name asked for. Nor does
// the daemon refuse a name in use (it makes "work_1" for a second "work"),
// so the library refuses it by the same lookup as the other operations.
GnomeKeyringResult check_new_name(const Request &req, Labelled &keyrings) {
    if (req.name.empty() || !g_utf8_validate(req.name.c_str(), -1, nullptr))
        return GNOME_KEYRING_RESULT_BAD_ARGUMENTS;
    auto result = read_labels(req, keyrings);
    if (result == GNOME_KEYRING_RESULT_OK &&
        keyring_for_name(req.name, keyrings.paths, keyrings.found))
        result = GNOME_KEYRING_RESULT_ALREADY_EXISTS;
    return result;
}

// Racers for one name may all have passed the check for it before any of
// them created its keyring. So each looks again once its own exists: the
// keyring the name finds stays, and every other racer takes back the one
// it made. All compute the same winner, and the daemon never gives a later
// keyring an earlier place, so exactly one says it created the keyring.
GnomeKeyringResult settle_create(const Request &req, const std::string &made,
                                 std::vector<std::string> listed) {
    // A keyring at the name's own path is the one the name finds, for
    // every racer alike: no other keyring need be looked at.
    if (made == path_for_name(req.name))
        return GNOME_KEYRING_RESULT_OK;
    Labelled keyrings;
    auto result = read_labels_of(req, std::move(listed), keyrings);
    if (result != GNOME_KEYRING_RESULT_OK)
        return result;
    auto winner = keyring_for_name(req.name, keyrings.paths, keyrings.found);
    if (!winner || *winner == made)
        return GNOME_KEYRING_RESULT_OK;
    // Failing to take it back changes nothing: the name is another's.
    Batch batch;
    batch.add<read_prompt>(method_call(made.c_str(), kCollectionInterface, "Delete"));
    batch.exchange(req.waiting);
    return batch.complete() ? GNOME_KEYRING_RESULT_ALREADY_EXISTS : GNOME_KEYRING_RESULT_IO_ERROR;
}

GnomeKeyringResult create(Request &req) {
    Labelled before;
    auto result = check_new_name(req, before);
    if (result == GNOME_KEYRING_RESULT_OK)
        result = encrypt_password(req);
    if (result != GNOME_KEYRING_RESULT_OK)
        return result;
    // The keyring made is one the service lists, read right behind the
    // call, and one that was not there before.
    Message call = with_arguments(
        method_call(kServicePath, kMasterInterface, "CreateWithMasterPassword"), "a{sv}", 1,
        "org.freedesktop.Secret.Collection.Label", "s", req.name.c_str());
    Batch batch;
    const auto &made = batch.add<read_created>(with_secret(std::move(call), req.secret));
    auto &listed = add_read_of_keyrings(batch);
    result = batch.exchange(req.waiting);
    if (result == GNOME_KEYRING_RESULT_OK &&
        (lists(before.paths, made.value) || !lists(listed.value, made.value)))
        result = GNOME_KEYRING_RESULT_IO_ERROR;
    return result != GNOME_KEYRING_RESULT_OK
               ? result
               : settle_create(req, made.value, std::move(listed.value));
}

// What create would come to before its password is looked at. An
// operation, though it only reads the request.
GnomeKeyringResult look_before_create(Request &req) {
    Labelled keyrings;
    auto result = check_new_name(req, keyrings);
    if (result != GNOME_KEYRING_RESULT_OK)
        return result;
    Batch batch;
    const auto &interface = batch.add<read_properties>(password_interface_properties());
    batch.exchange(req.waiting);
    return batch.complete() ? password_interface(interface.outcome) : GNOME_KEYRING_RESULT_IO_ERROR;
}

// What unlock would come to: the keyring's lock state, and whether the
// service takes passwords at all.
GnomeKeyringResult look_before_unlock(Request &req, const std::string &path) {
    Batch batch;
    const auto &locked = batch.add<read_locked>(locked_property(path));
    const auto &interface = batch.add<read_properties>(password_interface_properties());
    batch.exchange(req.waiting);
    if (!batch.complete())
        return GNOME_KEYRING_RESULT_IO_ERROR;
    if (locked.outcome != GNOME_KEYRING_RESULT_OK)
        return locked.outcome;
    return locked.value ? password_interface(interface.outcome)
                        : GNOME_KEYRING_RESULT_ALREADY_UNLOCKED;
}

// A request heard by the handler; on the keyring named, with the password
// given, for the operations that take them.
std::unique_ptr<Request> new_request(Handler handler, gpointer data, GDestroyNotify destroy_data,
                                     const char *keyring = nullptr,
                                     const char *password = nullptr) {
    auto req = std::make_unique<Request>();
    req->handler = handler;
    req->data = data;
    req->destroy_data = destroy_data;
    req->name = keyring != nullptr ? keyring : "";
    std::string_view text = password != nullptr ? password : "";
    req->password.assign(text.begin(), text.end());
    return req;
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
    return start(new_request(callback, data, destroy_data), list);
}

gpointer gnome_keyring_get_default_keyring(GnomeKeyringStringCallback callback, gpointer data,
                                           GDestroyNotify destroy_data) {
    return start(new_request(callback, data, destroy_data), get_default);
}

gpointer gnome_keyring_set_default_keyring(const char *keyring, GnomeKeyringDoneCallback callback,
                                           gpointer data, GDestroyNotify destroy_data) {
    return start(new_request(callback, data, destroy_data, keyring), by_name<set_default>);
}

gpointer gnome_keyring_get_info(const char *keyring, GnomeKeyringInfoCallback callback,
                                gpointer data, GDestroyNotify destroy_data) {
    return start(new_request(callback, data, destroy_data, keyring), by_name<info>);
}

gpointer gnome_keyring_lock(const char *keyring, GnomeKeyringDoneCallback callback, gpointer data,
                            GDestroyNotify destroy_data) {
    return start(new_request(callback, data, destroy_data, keyring), by_name<lock>);
}

gpointer gnome_keyring_delete(const char *keyring, GnomeKeyringDoneCallback callback, gpointer data,
                              GDestroyNotify destroy_data) {
    return start(new_request(callback, data, destroy_data, keyring), by_name<delete_keyring>);
}
gpointer gnome_keyring_unlock(const char *keyring, const char *password,
                              GnomeKeyringDoneCallback callback, gpointer data,
                              GDestroyNotify destroy_data) {
    return start(new_request(callback, data, destroy_data, keyring, password), by_name<unlock>);
}

gpointer gnome_keyring_create(const char *keyring, const char *password,
                              GnomeKeyringDoneCallback callback, gpointer data,
                              GDestroyNotify destroy_data) {
    return start(new_request(callback, data, destroy_data, keyring, password), create);
}

// The checks in the order the operation itself makes them.
gpointer gnome_keyring_needs_password(const char *keyring, gboolean creating,
                                      GnomeKeyringDoneCallback callback, gpointer data,
                                      GDestroyNotify destroy_data) {
    return start(new_request(callback, data, destroy_data, keyring),
                 creating != FALSE ? look_before_create : by_name<look_before_unlock>);
}
