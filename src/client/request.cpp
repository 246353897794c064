#include "request.h"

#include "replies.h"

namespace keyring_client {
namespace {

// A request with its operation: the main loop's, from start() until run()
// takes it back.
struct Started {
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
}

gboolean run(gpointer data) {
    // Ours from here: answered, then released, before this returns.
    std::unique_ptr<Started> started(static_cast<Started *>(data));
    Request &req = *started->req;
    // Found already, unless nobody asked whether the daemon is available.
    answer(req, find_service(req.waiting.deadline()) ? started->operation(req)
                                                     : GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON);
    return G_SOURCE_REMOVE;
}

// What an error reply means.
GnomeKeyringResult error_result(sd_bus_message *reply, bool on_keyring) {
    const sd_bus_error *error = sd_bus_message_get_error(reply);
    // For G_MESSAGES_DEBUG=brassbox; the daemon's words never hold a password.
    g_debug("the daemon answered: %s: %s", error->name, error->message ? error->message : "");
    return result_for_error(error->name, on_keyring);
}

} // namespace

gpointer start(std::unique_ptr<Request> req, Operation operation) {
    auto *started = std::make_unique<Started>(Started{std::move(req), operation}).release();
    g_idle_add(run, started);
    return started;
}

void Batch::add(Message call, Reader read, GnomeKeyringResult *outcome) {
    Call &added = calls_.emplace_back();
    const char *path = call != nullptr ? sd_bus_message_get_path(call.get()) : nullptr;
    added.on_keyring = path != nullptr && std::string_view(path) != kServicePath;
    added.message = std::move(call);
    added.read = std::move(read);
    added.outcome_to = outcome;
}

int Batch::on_reply(sd_bus_message *reply, void *data, sd_bus_error * /*error*/) {
    auto &call = *static_cast<Call *>(data);
    Batch &batch = *call.batch;
    call.slot.reset();
    batch.in_flight_--;
    if (!from_service(reply)) {
        g_debug("an answer from %s, not from the keyring service",
                sd_bus_message_get_sender(reply) ?: "nobody");
        batch.forged_ = true;
        return 0;
    }
    if (sd_bus_message_is_method_error(reply, nullptr) > 0)
        call.outcome = error_result(reply, call.on_keyring);
    else
        call.outcome = call.read ? call.read(reply) : GNOME_KEYRING_RESULT_OK;
    batch.done_++;
    batch.send_more();
    return 0;
}

void Batch::send_more() {
    for (; sent_ < calls_.size() && in_flight_ < kCallsInFlight; sent_++) {
        Call &call = calls_[sent_];
        call.batch = this;
        Message message = std::move(call.message);
        sd_bus_slot *slot = nullptr;
        // A call that could not be made was logged where it failed. The
        // deadline decides, not the call's own time-out.
        int error = message == nullptr ? -EINVAL
                                       : sd_bus_call_async(bus(), &slot, message.get(), on_reply,
                                                           &call, 2 * kTimeLimitUsec);
        if (error < 0) {
            if (message != nullptr)
                log_failure(sd_bus_message_get_member(message.get()), error);
            done_++; // its outcome stays a failure
            continue;
        }
        call.slot.reset(slot);
        in_flight_++;
    }
}

GnomeKeyringResult Batch::exchange(const Waiting &waiting) {
    send_more();
    complete_ =
        wait_for(waiting.deadline(), [this] { return forged_ || done_ == calls_.size(); }) &&
        !forged_;
    GnomeKeyringResult first = GNOME_KEYRING_RESULT_OK;
    for (auto &call : calls_) {
        call.slot.reset(); // a reply still to come is dropped
        if (call.outcome_to != nullptr)
            *call.outcome_to = call.outcome;
        if (first == GNOME_KEYRING_RESULT_OK)
            first = call.outcome;
    }
    return complete_ ? first : GNOME_KEYRING_RESULT_IO_ERROR;
}

Message get_property(const std::string &path, const char *interface, const char *property) {
    return with_arguments(method_call(path.c_str(), kPropertiesInterface, "Get"), "ss", interface,
                          property);
}

void add_read_of_keyrings(Batch &batch, std::vector<std::string> &paths,
                          GnomeKeyringResult *outcome) {
    batch.add(
        get_property(kServicePath, kServiceInterface, "Collections"),
        [&paths](sd_bus_message *reply) { return read_paths(reply, paths); }, outcome);
}

} // namespace keyring_client
