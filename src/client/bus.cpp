#include "bus.h"

#include "replies.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

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

bool open_bus() {
    if (int error = sd_bus_open_user(&connection); error < 0) {
        log_failure("opening the session bus", error);
        connection = nullptr;
        return false;
    }
    return true;
}

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

struct Answer {
    bool given = false;
    Message reply;
};

int on_answer(sd_bus_message *reply, void *data, sd_bus_error * /*error*/) {
    auto &answer = *static_cast<Answer *>(data);
    answer.reply.reset(sd_bus_message_ref(reply));
    answer.given = true;
    return 0;
}

// Sends a call whose answer will fill in answer: an empty slot when it
// could not be sent.
Slot send(Message call, Answer &answer) {
    sd_bus_slot *slot = nullptr;
    // The deadline decides, not the call's own time-out.
    if (call != nullptr)
        sd_bus_call_async(connection, &slot, call.get(), on_answer, &answer, 2 * kTimeLimitUsec);
    return Slot(slot);
}

Message owner_call() {
    return with_arguments(call_to(kBusName, "/org/freedesktop/DBus", kBusName, "GetNameOwner"), "s",
                          kServiceName);
}

// Asks the bus who owns the service's name.
Owner ask_owner(uint64_t deadline) {
    Answer answer;
    Slot pending = send(owner_call(), answer);
    if (pending != nullptr)
        wait_for(deadline, [&answer] { return answer.given; });
    return owner_named(answer.reply.get(), owner);
}

// gnome-keyring admits a new client in its main loop, yet may serve the
// client's first property reads before that, and then aborts, every
// unlocked keyring lost with it. So the service is first asked for the
// properties of its password interface (there are none, and other services
// lack the interface: the answer is all that counts), which gnome-keyring
// gives from that loop: once it is in, we are admitted. It goes out beside
// the question to the bus, at no round trip of its own; sent to the name,
// it also has the bus start the service when nobody owns the name.
bool reach_service(uint64_t deadline) {
    Answer owned;
    Answer admitted;
    Slot asking_bus = send(owner_call(), owned);
    Slot asking_service =
        send(with_arguments(call_to(kServiceName, kServicePath, kPropertiesInterface, "GetAll"),
                            "s", kMasterInterface),
             admitted);
    if (asking_bus == nullptr || asking_service == nullptr)
        return false;
    wait_for(deadline, [&] { return owned.given && admitted.given; });
    // A running service owns its name, and the bus says so itself.
    switch (owner_named(owned.reply.get(), owner)) {
    case Owner::Found:
    case Owner::Forged:
        return true;
    case Owner::Unknown:
        return false;
    case Owner::Nobody:
        break;
    }
    if (!admitted.given)
        // Started and silent until the deadline: there, but stuck.
        return sd_bus_is_open(connection) > 0;
    if (is_error(admitted.reply.get()) && sent_by(admitted.reply.get(), kBusName))
        return false; // the bus cannot start it
    auto found = ask_owner(deadline);
    return found == Owner::Found || found == Owner::Forged;
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

sd_bus *bus() {
    return connection;
}

bool wait_for(uint64_t deadline, const std::function<bool()> &done) {
    for (uint64_t now = now_usec(); !done(); now = now_usec()) {
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
    }
    return true;
}

void log_failure(const char *what, int error) {
    g_debug("%s: %s", what, g_strerror(-error));
}

bool find_service(uint64_t deadline) {
    if (!service_found)
        service_found = open_bus() && reach_service(deadline);
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
