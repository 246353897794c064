#include "gnome-keyring.h"
#include "names.h"
#include "request.h"

#include <algorithm>
#include <cstring>

namespace keyring_client {

const char *const kServicePath = "/org/freedesktop/secrets";

namespace {

constexpr const char *kServiceName = "org.freedesktop.secrets";
constexpr const char *kServiceInterface = "org.freedesktop.Secret.Service";
constexpr const char *kCollectionInterface = "org.freedesktop.Secret.Collection";
constexpr const char *kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char *kMasterInterface =
    "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

// A daemon that is alive but stuck must not hold the tool: the
// availability check and each request give up after this long.
constexpr guint kTimeLimitMs = 10000;

GDBusConnection *bus = nullptr;
// The daemon owns its name but did not answer the availability check in
// time; every request then fails at once instead of waiting again.
bool daemon_stuck = false;

// Connecting and authenticating wait on the bus with no time limit of
// their own, so they run under ours: a bus that accepts a connection and
// never speaks must not hold the tool. Null when the bus cannot be
// reached before the deadline (monotonic, in microseconds).
GDBusConnection *connect_bus(gint64 deadline) {
    struct Connecting {
        GDBusConnection *connection = nullptr;
        bool done = false;
        bool late = false;
    } connecting;
    // The answer comes only through this context, which nobody runs once
    // we stop waiting: an attempt still under way then never reaches us.
    g_autoptr(GMainContext) context = g_main_context_new();
    g_main_context_push_thread_default(context);
    // The shared connection, on which libsecret opens the session too.
    g_bus_get(
        G_BUS_TYPE_SESSION, nullptr,
        [](GObject *, GAsyncResult *result, gpointer data) {
            auto &connecting = *static_cast<Connecting *>(data);
            connecting.connection = g_bus_get_finish(result, nullptr);
            connecting.done = true;
        },
        &connecting);
    gint64 left_ms = std::max<gint64>(deadline - g_get_monotonic_time(), 0) / 1000;
    g_autoptr(GSource) limit = g_timeout_source_new(static_cast<guint>(left_ms));
    g_source_set_callback(
        limit,
        [](gpointer data) {
            static_cast<Connecting *>(data)->late = true;
            return G_SOURCE_REMOVE;
        },
        &connecting, nullptr);
    g_source_attach(limit, context);
    while (!connecting.done && !connecting.late)
        g_main_context_iteration(context, TRUE);
    g_source_destroy(limit);
    g_main_context_pop_thread_default(context);
    return connecting.connection;
}

void keep_bus(GDBusConnection *connection) {
    bus = connection;
    // Losing the bus must end the request with an error, not the process.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
}

void on_reply(GObject *source, GAsyncResult *result, gpointer slot) {
    auto &reply = *static_cast<Reply *>(slot);
    GError *error = nullptr;
    reply.value.reset(g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error));
    reply.error.reset(error);
    Request &req = *reply.req;
    if (--req.pending == 0)
        req.next(req);
}

gboolean on_time_limit(gpointer data) {
    auto &req = *static_cast<Request *>(data);
    req.timer = 0;
    req.timed_out = true;
    g_cancellable_cancel(req.cancellable);
    return G_SOURCE_REMOVE;
}

gboolean on_start(gpointer data) {
    auto &req = *static_cast<Request *>(data);
    if (bus == nullptr) {
        // Only when nobody asked gnome_keyring_is_available() first.
        GDBusConnection *connection =
            connect_bus(g_get_monotonic_time() + gint64{kTimeLimitMs} * 1000);
        if (connection == nullptr) {
            finish(req, GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON);
            return G_SOURCE_REMOVE;
        }
        keep_bus(connection);
    }
    if (daemon_stuck)
        finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    else
        req.next(req);
    return G_SOURCE_REMOVE;
}

// Every request starts from the main loop, so even one that fails at once
// is answered from there, never from inside the operation call. (Reaching
// the bus with g_bus_get() instead would start a thread to do it.)
gpointer start(std::unique_ptr<Request> owned, Step first) {
    Request &req = *owned.release();
    req.cancellable = g_cancellable_new();
    req.timer = g_timeout_add(kTimeLimitMs, on_time_limit, &req);
    req.next = first;
    g_idle_add(on_start, &req);
    return &req;
}

Call get_property(std::string path, const char *interface, const char *property) {
    return {std::move(path), kPropertiesInterface, "Get",
            g_variant_new("(ss)", interface, property)};
}

// Finding a keyring: its encoded path first, then the one keyring whose
// label is the name, since the daemon derives paths from cleaned-up names.

void act(Request &req) {
    req.action->send(req);
}

void act_on_label(Request &req);

// Reads every keyring's path into req.paths and, into req.replies, every
// keyring's label; then runs then.
void read_labels(Request &req, Step then) {
    req.after_labels = then;
    send(req, {get_property(kServicePath, kServiceInterface, "Collections")}, [](Request &req) {
        auto result = replies_result(req);
        req.paths.clear();
        if (result == GNOME_KEYRING_RESULT_OK)
            result = read_paths(req.replies[0].value.get(), req.paths);
        if (result != GNOME_KEYRING_RESULT_OK)
            return finish(req, result);
        std::vector<Call> calls;
        for (const auto &path : req.paths)
            calls.push_back(get_property(path, kCollectionInterface, "Label"));
        if (calls.empty())
            return req.after_labels(req);
        send(req, std::move(calls), req.after_labels);
    });
}

// The paths whose label, in the replies of read_labels, is the name. A
// keyring that vanished since the paths were read is passed over.
GnomeKeyringResult labelled_paths(const Request &req, std::vector<std::string> &found) {
    for (size_t i = 0; i < req.replies.size() && i < req.paths.size(); i++) {
        const Reply &reply = req.replies[i];
        if (reply.error != nullptr) {
            auto result = failure(req, reply.error.get(), reply.on_keyring);
            if (result != GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
                return result;
            continue;
        }
        std::string label;
        auto result = read_string(reply.value.get(), label);
        if (result != GNOME_KEYRING_RESULT_OK)
            return result;
        if (label == req.name)
            found.push_back(req.paths[i]);
    }
    return GNOME_KEYRING_RESULT_OK;
}

void acted(Request &req) {
    auto result = req.action->outcome(req);
    if (result != GNOME_KEYRING_RESULT_NO_SUCH_KEYRING || req.looked_up)
        return finish(req, result);
    req.looked_up = true;
    read_labels(req, act_on_label);
}

void act_on_label(Request &req) {
    std::vector<std::string> found;
    auto result = labelled_paths(req, found);
    if (result == GNOME_KEYRING_RESULT_OK && found.size() != 1)
        result = GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
    if (result != GNOME_KEYRING_RESULT_OK)
        return finish(req, result);
    req.path = found[0];
    act(req);
}

void act_on_name(Request &req) {
    auto path = path_for_name(req.name);
    if (!path)
        return finish(req, GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
    req.path = std::move(*path);
    act(req);
}

GnomeKeyringResult outcome_of_replies(Request &req) {
    return replies_result(req);
}

constexpr KeyringAction kSetDefault = {
    [](Request &req) {
        send(req,
             {{kServicePath, kServiceInterface, "SetAlias",
               g_variant_new("(so)", "default", req.path.c_str())}},
             acted);
    },
    outcome_of_replies,
};

constexpr KeyringAction kGetInfo = {
    [](Request &req) {
        // Three small reads sent together cost one round trip; GetAll
        // would also carry the path of every item in the keyring.
        send(req,
             {get_property(req.path, kCollectionInterface, "Locked"),
              get_property(req.path, kCollectionInterface, "Created"),
              get_property(req.path, kCollectionInterface, "Modified")},
             acted);
    },
    [](Request &req) {
        auto result = replies_result(req);
        if (result != GNOME_KEYRING_RESULT_OK)
            return result;
        return read_info(req.replies[0].value.get(), req.replies[1].value.get(),
                         req.replies[2].value.get(), req.info);
    },
};

constexpr KeyringAction kLock = {
    [](Request &req) {
        const char *paths[] = {req.path.c_str(), nullptr};
        send(req, {{kServicePath, kServiceInterface, "Lock", g_variant_new("(^ao)", paths)}},
             acted);
    },
    [](Request &req) {
        auto result = replies_result(req);
        return result != GNOME_KEYRING_RESULT_OK ? result
                                                 : read_lock(req.replies[0].value.get(), req.path);
    },
};

constexpr KeyringAction kDelete = {
    [](Request &req) {
        send(req, {{req.path, kCollectionInterface, "Delete", nullptr}}, acted);
    },
    [](Request &req) {
        auto result = replies_result(req);
        return result != GNOME_KEYRING_RESULT_OK ? result : read_prompt(req.replies[0].value.get());
    },
};

constexpr KeyringAction kUnlock = {
    [](Request &req) {
        send(req,
             {{kServicePath, kMasterInterface, "UnlockWithMasterPassword",
               g_variant_new("(o@(oayays))", req.path.c_str(), req.secret.get())}},
             acted);
    },
    outcome_of_replies,
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
    send(req, {{req.path, kCollectionInterface, "Delete", nullptr}}, [](Request &req) {
        // Failing to take it back changes nothing: the name is another's.
        replies_result(req);
        finish(req, GNOME_KEYRING_RESULT_ALREADY_EXISTS);
    });
}

void send_create(Request &req) {
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string(req.name.c_str()));
    send(req,
         {{kServicePath, kMasterInterface, "CreateWithMasterPassword",
           g_variant_new("(a{sv}@(oayays))", &properties, req.secret.get())}},
         [](Request &req) {
             auto result = replies_result(req);
             if (result == GNOME_KEYRING_RESULT_OK)
                 result = read_created(req.replies[0].value.get(), req.path);
             if (result != GNOME_KEYRING_RESULT_OK)
                 return finish(req, result);
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
    encode_password(req, send_create);
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

} // namespace

Secret::Secret(std::string_view text)
    : size_(text.size()), bytes_(static_cast<char *>(g_malloc(text.size() + 1))) {
    memcpy(bytes_, text.data(), size_);
    bytes_[size_] = '\0';
}

Secret::~Secret() {
    explicit_bzero(bytes_, size_);
    g_free(bytes_);
}

Request::~Request() {
    if (timer != 0)
        g_source_remove(timer);
    g_clear_object(&cancellable);
}

void send(Request &req, std::vector<Call> calls, Step next) {
    req.replies.clear();
    req.replies.resize(calls.size());
    req.pending = calls.size();
    req.next = next;
    for (size_t i = 0; i < calls.size(); i++) {
        Reply &reply = req.replies[i];
        reply.req = &req;
        reply.on_keyring = calls[i].path != kServicePath;
        g_dbus_connection_call(bus, kServiceName, calls[i].path.c_str(), calls[i].interface,
                               calls[i].method, calls[i].params, nullptr, G_DBUS_CALL_FLAGS_NONE,
                               -1, req.cancellable, on_reply, &reply);
    }
}

GnomeKeyringResult failure(const Request &req, const GError *error, bool on_keyring) {
    // For G_MESSAGES_DEBUG=brassbox; the daemon's words never hold a password.
    g_debug("the daemon answered: %s", error->message);
    if (req.timed_out)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    return result_for_error(error, on_keyring);
}

GnomeKeyringResult replies_result(const Request &req) {
    for (const auto &reply : req.replies) {
        if (reply.error != nullptr)
            return failure(req, reply.error.get(), reply.on_keyring);
    }
    return GNOME_KEYRING_RESULT_OK;
}

void finish(Request &req, GnomeKeyringResult result) {
    std::unique_ptr<Request> owned(&req);
    bool ok = result == GNOME_KEYRING_RESULT_OK;
    if (req.on_done != nullptr) {
        req.on_done(result, req.data);
    } else if (req.on_string != nullptr) {
        req.on_string(result, ok && req.found ? req.found->c_str() : nullptr, req.data);
    } else if (req.on_info != nullptr) {
        req.on_info(result, ok ? &req.info : nullptr, req.data);
    } else if (req.on_list != nullptr) {
        GList *list = nullptr;
        for (auto &name : req.names)
            list = g_list_prepend(list, name.data());
        list = g_list_reverse(list);
        req.on_list(result, ok ? list : nullptr, req.data);
        g_list_free(list);
    }
    if (req.destroy_data != nullptr)
        req.destroy_data(req.data);
}

} // namespace keyring_client

using namespace keyring_client;

gboolean gnome_keyring_is_available() {
    // Connecting and the check together have one time limit.
    gint64 deadline = g_get_monotonic_time() + gint64{kTimeLimitMs} * 1000;
    if (bus == nullptr) {
        GDBusConnection *connection = connect_bus(deadline);
        if (connection == nullptr)
            return FALSE;
        keep_bus(connection);
    }
    auto left_ms = std::max<gint64>((deadline - g_get_monotonic_time()) / 1000, 1);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus, kServiceName, kServicePath, "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
        G_DBUS_CALL_FLAGS_NONE, static_cast<int>(left_ms), nullptr, &error);
    if (reply != nullptr)
        return TRUE;
    daemon_stuck = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT);
    return daemon_stuck;
}

gpointer gnome_keyring_list_keyring_names(GnomeKeyringListCallback callback, gpointer data,
                                          GDestroyNotify destroy_data) {
    auto req = keyring_request(nullptr, data, destroy_data);
    req->on_list = callback;
    return start(std::move(req), [](Request &req) {
        send(req, {get_property(kServicePath, kServiceInterface, "Collections")}, [](Request &req) {
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
        send(req, {{kServicePath, kServiceInterface, "ReadAlias", g_variant_new("(s)", "default")}},
             [](Request &req) {
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
    req->password = std::make_unique<Secret>(password != nullptr ? password : "");
    return start(std::move(req), [](Request &req) {
        if (req.name.empty())
            return finish(req, GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
        encode_password(req, act_on_name);
    });
}

gpointer gnome_keyring_create(const char *keyring, const char *password,
                              GnomeKeyringDoneCallback callback, gpointer data,
                              GDestroyNotify destroy_data) {
    auto req = done_request(keyring, nullptr, callback, data, destroy_data);
    req->password = std::make_unique<Secret>(password != nullptr ? password : "");
    return start(std::move(req), [](Request &req) {
        // A label must be UTF-8, and the daemon would call a nameless
        // keyring "unnamed": neither can be created under the name asked for.
        if (req.name.empty() || !g_utf8_validate(req.name.c_str(), -1, nullptr))
            return finish(req, GNOME_KEYRING_RESULT_BAD_ARGUMENTS);
        read_labels(req, create_if_new);
    });
}
