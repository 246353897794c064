#include "request.h"

#include "replies.h"

#include <memory>

namespace keyring_client {
namespace {

// The main loop's source that runs a request: it owns the request and its
// operation, which go with the source.
struct Started {
    GSource source;
    std::unique_ptr<Request> req;
    Operation operation;
};

// Hands the result to the handler; the request ends with it.
void answer(Request &req, GnomeKeyringResult result) {
    bool ok = result == GNOME_KEYRING_RESULT_OK;
    if (std::visit([](auto handler) { return handler == nullptr; }, req.handler)) {
        // Nobody listens.
    } else if (auto *done = std::get_if<GnomeKeyringDoneCallback>(&req.handler)) {
        (*done)(result, req.data);
    } else if (auto *string = std::get_if<GnomeKeyringStringCallback>(&req.handler)) {
        (*string)(result, ok && req.found ? req.found->c_str() : nullptr, req.data);
    } else if (auto *info = std::get_if<GnomeKeyringInfoCallback>(&req.handler)) {
        (*info)(result, ok ? &req.info : nullptr, req.data);
    } else {
        GList *list = nullptr;
        for (auto &name : req.names)
            list = g_list_prepend(list, name.data());
        list = g_list_reverse(list);
        std::get<GnomeKeyringListCallback>(req.handler)(result, ok ? list : nullptr, req.data);
        g_list_free(list);
    }
    if (req.destroy_data != nullptr)
        req.destroy_data(req.data);
    req.destroy_data = nullptr;
}

gboolean is_ready(GSource * /*source*/, gint *timeout) {
    *timeout = 0;
    return TRUE;
}

gboolean run(GSource *source, GSourceFunc /*callback*/, gpointer /*data*/) {
    auto &started = *reinterpret_cast<Started *>(source);
    Request &req = *started.req;
    // Found already, unless nobody asked whether the daemon is available.
    answer(req, find_service(req.waiting.deadline()) ? started.operation(req)
                                                     : GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON);
    return G_SOURCE_REMOVE;
}

// A request never run is released unanswered, its data too.
void release(GSource *source) {
    auto &started = *reinterpret_cast<Started *>(source);
    if (started.req != nullptr && started.req->destroy_data != nullptr)
        started.req->destroy_data(started.req->data);
    std::destroy_at(&started.req);
}

GSourceFuncs kRunOnce = {is_ready, nullptr, run, release, nullptr, nullptr};

// What an error reply means.
GnomeKeyringResult error_result(sd_bus_message *reply, bool on_keyring) {
    const sd_bus_error *error = sd_bus_message_get_error(reply);
    // For G_MESSAGES_DEBUG=brassbox; the daemon's words never hold a password.
    g_debug("the daemon answered: %s: %s", error->name, error->message ? error->message : "");
    return result_for_error(error->name, on_keyring);
}

} // namespace

gpointer start(std::unique_ptr<Request> req, Operation operation) {
    GSource *source = g_source_new(&kRunOnce, sizeof(Started));
    auto &started = *reinterpret_cast<Started *>(source);
    std::construct_at(&started.req, std::move(req));
    started.operation = operation;
    g_source_set_priority(source, G_PRIORITY_DEFAULT_IDLE);
    g_source_attach(source, nullptr);
    g_source_unref(source); // the main loop's now
    return source;
}

void Batch::add_call(Message call, std::unique_ptr<Outcome> reply) {
    if (started_)
        g_error("a call added to a batch already sent");
    const char *path = call != nullptr ? sd_bus_message_get_path(call.get()) : nullptr;
    bool on_keyring = path != nullptr && std::string_view(path) != kServicePath;
    calls_.push_back({std::move(call), std::move(reply), on_keyring});
}

int Batch::on_message(sd_bus_message *message, void *data, sd_bus_error * /*error*/) {
    auto &batch = *static_cast<Batch *>(data);
    auto awaited = batch.awaited_.find(answered_cookie(message));
    if (awaited == batch.awaited_.end())
        return 0;
    if (!from_service(message)) {
        g_debug("passed over an answer from %s, not from the keyring service",
                sd_bus_message_get_sender(message) ?: "nobody");
        return 1;
    }
    Call &call = batch.calls_[awaited->second];
    batch.awaited_.erase(awaited);
    call.reply->outcome = sd_bus_message_is_method_error(message, nullptr) > 0
                              ? error_result(message, call.on_keyring)
                              : call.reply->read(message);
    batch.done_++;
    batch.send_more();
    return 1;
}

void Batch::send_more() {
    for (; sent_ < calls_.size() && awaited_.size() < kCallsInFlight; sent_++) {
        // A call that could not be made was logged where it failed.
        Message message = std::move(calls_[sent_].message);
        if (uint64_t cookie = send_call(message, deadline_); cookie != 0)
            awaited_.emplace(cookie, sent_);
        else
            done_++; // its outcome stays a failure
    }
}

GnomeKeyringResult Batch::exchange(const Waiting &waiting) {
    started_ = true;
    deadline_ = waiting.deadline();
    // A reply still to come once this returns is passed over with it.
    Slot replies = add_filter(on_message, this);
    if (replies != nullptr)
        send_more();
    complete_ =
        replies != nullptr && wait_for(deadline_, [this] { return done_ == calls_.size(); });
    GnomeKeyringResult first = GNOME_KEYRING_RESULT_OK;
    for (const auto &call : calls_) {
        if (first == GNOME_KEYRING_RESULT_OK)
            first = call.reply->outcome;
    }
    return complete_ ? first : GNOME_KEYRING_RESULT_IO_ERROR;
}

Message get_property(const std::string &path, const char *interface, const char *property) {
    return with_arguments(method_call(path.c_str(), kPropertiesInterface, "Get"), "ss", interface,
                          property);
}

Reply<read_paths> &add_read_of_keyrings(Batch &batch) {
    return batch.add<read_paths>(get_property(kServicePath, kServiceInterface, "Collections"));
}

} // namespace keyring_client
