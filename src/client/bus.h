// The one connection of the process to the session bus, and the keyring
// service's owner: found once, then the only peer whose answers count, as
// any client of the bus can send a reply to any call. Whoever waits for an
// answer drives the connection, within the deadline of the wait.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <systemd/sd-bus.h>

namespace keyring_client {

inline constexpr const char *kServiceName = "org.freedesktop.secrets";
inline constexpr const char *kServicePath = "/org/freedesktop/secrets";
inline constexpr const char *kPropertiesInterface = "org.freedesktop.DBus.Properties";
// gnome-keyring's own interface, for passwords.
inline constexpr const char *kMasterInterface =
    "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

// A bus or daemon alive but stuck must not hold the tool: all the waiting
// of a process (connecting, finding the service, its requests) together.
inline constexpr uint64_t kTimeLimitUsec = 10'000'000;

struct MessageUnref {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

struct SlotUnref {
    void operator()(sd_bus_slot *slot) const { sd_bus_slot_unref(slot); }
};
// Dropping a slot removes its filter.
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

// What the answer to GetNameOwner for the service says. Only the bus's own
// counts: anybody else's is Forged, as is one the bus would not give; one
// believed puts the owner's unique name into found.
enum class Owner { Found, Nobody, Unknown, Forged };
Owner owner_named(sd_bus_message *reply, std::string &found);

// Now, on the clock sd-bus measures time-outs with (microseconds).
uint64_t now_usec();

// A stretch of waiting on the bus or the service, from its making to its
// end; its deadline is what is left of the process's time limit. Time
// between two stretches (a password prompt) does not count.
class Waiting {
public:
    Waiting();
    ~Waiting();
    Waiting(const Waiting &) = delete;
    Waiting &operator=(const Waiting &) = delete;
    uint64_t deadline() const { return deadline_; }

private:
    uint64_t started_;
    uint64_t deadline_;
};

// One turn of the connection: handles what has come, else waits for more
// by the deadline. False when the connection failed or the deadline passed.
bool turn(uint64_t deadline);

// Drives the connection until done() holds: false when the connection
// fails or the deadline passes first, which holds however busy it is.
template <typename Done> bool wait_for(uint64_t deadline, Done done) {
    while (!done()) {
        if (!turn(deadline))
            return false;
    }
    return true;
}

// Calls go out without a reply callback, which sd-bus would hand the first
// reply with the call's cookie, whoever sent it. A filter takes the replies
// instead, and can pass over a stranger's to wait for the one that counts.
//
// Sends the call, unless null or past the deadline: its cookie, else 0.
uint64_t send_call(const Message &call, uint64_t deadline);
// Hands every message that arrives to handler while the slot lives; an
// empty slot when it cannot.
Slot add_filter(sd_bus_message_handler_t handler, void *data);
// The cookie of the call a message answers; 0 for any other message.
uint64_t answered_cookie(sd_bus_message *message);

// For G_MESSAGES_DEBUG=brassbox: what failed, and the errno sd-bus gave.
void log_failure(const char *what, int error);

// Finds the keyring service, once per process, by the deadline: opens the
// session bus where GLib would (DBUS_SESSION_BUS_ADDRESS, else
// $XDG_RUNTIME_DIR/bus) and asks who owns the service's name, having the
// bus start the service when nobody does. False when the bus or service
// cannot be reached. True also when the service did not answer in time, or
// someone other than the bus answered for it: no owner, every call fails.
bool find_service(uint64_t deadline);

// A method call to the service's owner, to be filled in and sent; null
// when no owner was found.
Message method_call(const char *path, const char *interface, const char *method);

// Whether an answer to a call to the service can be believed: one from the
// owner, or an error from the bus (the sender sd-bus also gives its own
// time-outs and disconnections). Anybody else's is forged.
bool from_service(sd_bus_message *reply);

// The call with these arguments added, as sd_bus_message_append() takes
// them; null when the call is null or they do not fit its types.
template <typename... Args> Message with_arguments(Message call, const char *types, Args... args) {
    if (call == nullptr)
        return nullptr;
    if (int error = sd_bus_message_append(call.get(), types, args...); error < 0) {
        log_failure("adding a call's arguments", error);
        return nullptr;
    }
    return call;
}

} // namespace keyring_client
