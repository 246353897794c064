#include "bus.h"

#include "replies.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyring_client {
namespace {

constexpr const char *kBusName = "org.freedesktop.DBus";

sd_bus *connection = nullptr;
// The unique name of the service's owner, once found.
std::string owner;
// Whether find_service() has run, and what it found.
std::optional<bool> service_found;
// Of the time limit, what stretches of waiting have used up.
uint64_t spent_usec = 0;

bool is_error(sd_bus_message *reply) {
    return sd_bus_message_is_method_error(reply, nullptr) > 0;
}

bool sent_by(sd_bus_message *message, std::string_view name) {
    const char *sender = sd_bus_message_get_sender(message);
    return sender != nullptr && name == sender;
}

Message call_to(const char *destination, const char *path, const char *interface,
                const char *method) {
    sd_bus_message *call = nullptr;
    int error =
        sd_bus_message_new_method_call(connection, &call, destination, path, interface, method);
    if (error < 0) {
        log_failure(method, error);
        return nullptr;
    }
    return Message(call);
}

Message owner_call() {
    return with_arguments(call_to(kBusName, "/org/freedesktop/DBus", kBusName, "GetNameOwner"), "s",
                          kServiceName);
}

// What reach_service waits for: the bus's answer on who owns the service's
// name, and every answer to the admission read until it is known whose
// counts.
struct Reaching {
    uint64_t owner_asked = 0; // the calls' cookies
    uint64_t admission_asked = 0;
    Message owned;
    std::vector<Message> admitted;
};

int on_reaching(sd_bus_message *message, void *data, sd_bus_error * /*error*/) {
    auto &reaching = *static_cast<Reaching *>(data);
    uint64_t cookie = answered_cookie(message);
    if (cookie == 0)
        return 0;
    if (cookie == reaching.admission_asked)
        reaching.admitted.emplace_back(sd_bus_message_ref(message));
    else if (cookie == reaching.owner_asked && sent_by(message, kBusName))
        reaching.owned.reset(sd_bus_message_ref(message));
    else
        g_debug("passed over an answer from %s", sd_bus_message_get_sender(message) ?: "nobody");
    return 0;
}

// Asks the bus who owns the service's name.
Owner ask_owner(Reaching &reaching, uint64_t deadline) {
    reaching.owned.reset();
    reaching.owner_asked = send_call(owner_call(), deadline);
    if (reaching.owner_asked == 0 ||
        !wait_for(deadline, [&reaching] { return reaching.owned != nullptr; }))
        return Owner::Unknown;
    return owner_named(reaching.owned.get(), owner);
}

// gnome-keyring admits a new client in its main loop, yet may serve the
// client's first property reads before that, and then aborts, every
// unlocked keyring lost with it. So the service is first asked for the
// properties of its password interface (there are none, and other services
// lack the interface: the answer is all that counts), which gnome-keyring
// gives from that loop: once it is in, we are admitted. It goes out beside
// the question to the bus, at no round trip of its own; sent to the name,
// it also has the bus start the service when nobody owns the name. No
// request goes out before the owner's answer: a service that never gives
// it gets none.
bool reach_service(uint64_t deadline) {
    Reaching reaching;
    Slot filter = add_filter(on_reaching, &reaching);
    reaching.admission_asked = send_call(
        with_arguments(call_to(kServiceName, kServicePath, kPropertiesInterface, "GetAll"), "s",
                       kMasterInterface),
        deadline);
    if (filter == nullptr || reaching.admission_asked == 0)
        return false;
    // A running service owns its name, and the bus says so itself. When
    // nobody does, the bus starts the service for the admission read, or
    // says it cannot; whoever else answers may be the new owner.
    auto found = ask_owner(reaching, deadline);
    if (found == Owner::Nobody) {
        if (!wait_for(deadline, [&reaching] { return !reaching.admitted.empty(); }))
            return sd_bus_is_open(connection) > 0; // started, and silent: there, but stuck
        if (sent_by(reaching.admitted[0].get(), kBusName))
            return false;
        found = ask_owner(reaching, deadline);
    }
    if (found != Owner::Found)
        return found == Owner::Forged; // there, but nobody to believe: every call fails
    auto admitted = [&] {
        return std::ranges::any_of(reaching.admitted, from_service, &Message::get);
    };
    if (!wait_for(deadline, admitted)) {
        g_debug("the service did not answer in time: no request is sent");
        owner.clear();
    }
    return true;
}

} // namespace

Owner owner_named(sd_bus_message *reply, std::string &found) {
    if (reply == nullptr)
        return Owner::Unknown;
    if (!sent_by(reply, kBusName))
        return Owner::Forged;
    if (is_error(reply))
        return sd_bus_message_is_method_error(reply, "org.freedesktop.DBus.Error.NameHasNoOwner") >
                       0
                   ? Owner::Nobody
                   : Owner::Unknown;
    return read_owner(reply, found) ? Owner::Found : Owner::Forged;
}

uint64_t now_usec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

Waiting::Waiting()
    : started_(now_usec()),
      deadline_(started_ + kTimeLimitUsec - std::min(spent_usec, kTimeLimitUsec)) {}

Waiting::~Waiting() {
    spent_usec += now_usec() - started_;
}

bool turn(uint64_t deadline) {
    uint64_t now = now_usec();
    if (now >= deadline) {
        g_debug("no answer within the time limit");
        return false;
    }
    int error = sd_bus_process(connection, nullptr);
    if (error == 0)
        error = sd_bus_wait(connection, deadline - now);
    if (error < 0 && error != -EINTR) {
        log_failure("the bus connection", error);
        return false;
    }
    return true;
}

uint64_t send_call(const Message &call, uint64_t deadline) {
    if (call == nullptr)
        return 0;
    const char *member = sd_bus_message_get_member(call.get());
    if (now_usec() >= deadline) {
        g_debug("%s not sent: the time limit has passed", member);
        return 0;
    }
    uint64_t cookie = 0;
    if (int error = sd_bus_send(connection, call.get(), &cookie); error < 0) {
        log_failure(member, error);
        return 0;
    }
    return cookie;
}

Slot add_filter(sd_bus_message_handler_t handler, void *data) {
    sd_bus_slot *slot = nullptr;
    if (int error = sd_bus_add_filter(connection, &slot, handler, data); error < 0)
        log_failure("adding a filter", error);
    return Slot(slot);
}

uint64_t answered_cookie(sd_bus_message *message) {
    uint64_t cookie = 0;
    return sd_bus_message_get_reply_cookie(message, &cookie) >= 0 ? cookie : 0;
}

void log_failure(const char *what, int error) {
    g_debug("%s: %s", what, g_strerror(-error));
}

bool find_service(uint64_t deadline) {
    if (!service_found) {
        int error = sd_bus_open_user(&connection);
        if (error < 0)
            log_failure("opening the session bus", error);
        service_found = error >= 0 && reach_service(deadline);
    }
    return *service_found;
}

Message method_call(const char *path, const char *interface, const char *method) {
    if (owner.empty())
        return nullptr;
    return call_to(owner.c_str(), path, interface, method);
}

bool from_service(sd_bus_message *reply) {
    return (!owner.empty() && sent_by(reply, owner)) ||
           (is_error(reply) && sent_by(reply, kBusName));
}

} // namespace keyring_client
