// The one connection of the process to the session bus. The default main
// context drives it once it is open, so replies reach their handlers from
// a running main loop; before that, run_bus() drives it directly.
#pragma once

#include <cstdint>
#include <memory>
#include <systemd/sd-bus.h>

namespace keyring_client {

inline constexpr const char *kServiceName = "org.freedesktop.secrets";

struct MessageUnref {
    void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

struct SlotUnref {
    void operator()(sd_bus_slot *slot) const { sd_bus_slot_unref(slot); }
};
// Dropping a slot forgets its call: its handler will never run.
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

// Now, on the clock sd-bus measures time-outs with (microseconds).
uint64_t now_usec();

// The connection; null until open_bus() succeeded.
sd_bus *bus();

// Opens the session bus where GLib would find it: DBUS_SESSION_BUS_ADDRESS,
// else $XDG_RUNTIME_DIR/bus. Authenticating goes on in the background.
bool open_bus();

// Processes the connection, outside any main loop, until done is true or
// the deadline has passed; false when the connection failed or time ran
// out first.
bool run_bus(uint64_t deadline, const bool &done);

// A method call to the keyring service, to be filled in and sent.
Message method_call(const char *path, const char *interface, const char *method);
// A method call to the bus itself.
Message bus_method_call(const char *method);

// The call with these arguments added, as sd_bus_message_append() takes
// them; null when the call is null or they do not fit its types.
template <typename... Args> Message with_arguments(Message call, const char *types, Args... args) {
    if (call == nullptr || sd_bus_message_append(call.get(), types, args...) < 0)
        return nullptr;
    return call;
}

} // namespace keyring_client
