#include "request.h"

#include "replies.h"

#include <algorithm>

namespace keyring_client {
namespace {

void send_more(Request &req);

int on_reply(sd_bus_message *message, void *data, sd_bus_error * /*error*/) {
    auto &reply = *static_cast<Reply *>(data);
    Request &req = *reply.req;
    reply.slot.reset();
    if (!from_service(message)) {
        // For G_MESSAGES_DEBUG=brassbox.
        g_debug("an answer from %s, not from the keyring service",
                sd_bus_message_get_sender(message) ?: "nobody");
        finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
        return 0;
    }
    reply.value.reset(sd_bus_message_ref(message));
    req.pending--;
    send_more(req);
    if (req.pending == 0)
        req.next(req);
    return 0;
}

void send_more(Request &req) {
    // sd-bus takes a time-out of 0 for its default of 25 s.
    uint64_t left = std::max<uint64_t>(req.waiting.left(), 1);
    // Every reply still to come is one under way or one not yet sent.
    auto in_flight = [&req] {
        return req.pending - (req.calls.size() - req.sent);
    };
    for (; req.sent < req.calls.size() && in_flight() < kCallsInFlight; req.sent++) {
        Message call = std::move(req.calls[req.sent]);
        Reply &reply = req.replies[req.sent];
        reply.req = &req;
        const char *path = call != nullptr ? sd_bus_message_get_path(call.get()) : nullptr;
        reply.on_keyring = path != nullptr && std::string_view(path) != kServicePath;
        sd_bus_slot *slot = nullptr;
        if (call == nullptr ||
            sd_bus_call_async(bus(), &slot, call.get(), on_reply, &reply, left) < 0) {
            reply.unsent = true;
            req.pending--;
            continue;
        }
        reply.slot.reset(slot);
    }
}

gboolean on_time_limit(gpointer data) {
    auto &req = *static_cast<Request *>(data);
    req.timer = 0;
    finish(req, GNOME_KEYRING_RESULT_IO_ERROR);
    return G_SOURCE_REMOVE;
}

gboolean on_start(gpointer data) {
    auto &req = *static_cast<Request *>(data);
    req.starter = 0;
    // Found already, unless nobody asked whether the daemon is available.
    if (!find_service(req.waiting.deadline()))
        finish(req, GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON);
    else
        req.next(req);
    return G_SOURCE_REMOVE;
}

} // namespace

Request::~Request() {
    if (timer != 0)
        g_source_remove(timer);
    if (starter != 0)
        g_source_remove(starter);
}

gpointer start(std::unique_ptr<Request> owned, Step first) {
    Request &req = *owned.release();
    req.timer = g_timeout_add(static_cast<guint>(req.waiting.left() / 1000), on_time_limit, &req);
    req.next = first;
    req.starter = g_idle_add(on_start, &req);
    return &req;
}

void send(Request &req, std::vector<Message> calls, Step next) {
    req.replies.clear();
    req.replies.resize(calls.size());
    req.calls = std::move(calls);
    req.sent = 0;
    req.pending = req.calls.size();
    req.next = next;
    send_more(req);
    if (req.pending == 0)
        req.next(req);
}

void send(Request &req, Message call, Step next) {
    std::vector<Message> calls;
    calls.push_back(std::move(call));
    send(req, std::move(calls), next);
}

GnomeKeyringResult reply_result(const Reply &reply) {
    if (reply.unsent || reply.value == nullptr)
        return GNOME_KEYRING_RESULT_IO_ERROR;
    if (sd_bus_message_is_method_error(reply.value.get(), nullptr) <= 0)
        return GNOME_KEYRING_RESULT_OK;
    const sd_bus_error *error = sd_bus_message_get_error(reply.value.get());
    // For G_MESSAGES_DEBUG=brassbox; the daemon's words never hold a password.
    g_debug("the daemon answered: %s: %s", error->name, error->message ? error->message : "");
    return result_for_error(error->name, reply.on_keyring);
}

GnomeKeyringResult replies_result(const Request &req) {
    for (const auto &reply : req.replies) {
        auto result = reply_result(reply);
        if (result != GNOME_KEYRING_RESULT_OK)
            return result;
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
