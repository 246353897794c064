#include "bus.h"

#include <algorithm>
#include <ctime>
#include <glib.h>
#include <poll.h>

namespace keyring_client {
namespace {

sd_bus *connection = nullptr;

// The connection as a source of the main context: its socket, the events
// sd-bus waits for, and its next time-out.
struct BusSource {
    GSource source;
    GPollFD poll;
};

// Milliseconds until sd-bus must run again, or -1 for no time-out.
gint next_timeout() {
    uint64_t until = 0;
    if (sd_bus_get_timeout(connection, &until) < 0 || until == UINT64_MAX)
        return -1;
    uint64_t now = now_usec();
    return until <= now
               ? 0
               : static_cast<gint>(std::min<uint64_t>((until - now + 999) / 1000, G_MAXINT));
}

gboolean prepare(GSource *source, gint *timeout) {
    auto &bus_source = *reinterpret_cast<BusSource *>(source);
    int events = sd_bus_get_events(connection);
    if (events < 0) {
        // A closed connection has nothing more to say; poll() skips the
        // negative descriptor rather than report it invalid for ever.
        bus_source.poll.fd = -1;
        *timeout = -1;
        return FALSE;
    }
    bus_source.poll.events = static_cast<gushort>(((events & POLLIN) != 0 ? G_IO_IN : 0) |
                                                  ((events & POLLOUT) != 0 ? G_IO_OUT : 0));
    *timeout = next_timeout();
    return *timeout == 0;
}

gboolean check(GSource *source) {
    const auto &bus_source = *reinterpret_cast<BusSource *>(source);
    return bus_source.poll.fd >= 0 && (bus_source.poll.revents != 0 || next_timeout() == 0);
}

gboolean dispatch(GSource * /*source*/, GSourceFunc /*callback*/, gpointer /*data*/) {
    // One message, or one step of the connection's life, at a time.
    while (sd_bus_process(connection, nullptr) > 0) {
    }
    return G_SOURCE_CONTINUE;
}

GSourceFuncs bus_source_funcs = {prepare, check, dispatch, nullptr, nullptr, nullptr};

void attach_to_main_context() {
    GSource *source = g_source_new(&bus_source_funcs, sizeof(BusSource));
    auto &bus_source = *reinterpret_cast<BusSource *>(source);
    bus_source.poll.fd = sd_bus_get_fd(connection);
    g_source_add_poll(source, &bus_source.poll);
    g_source_set_name(source, "session bus");
    g_source_attach(source, nullptr);
    g_source_unref(source); // the context keeps it for the process
}

} // namespace

uint64_t now_usec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

sd_bus *bus() {
    return connection;
}

bool open_bus() {
    if (connection != nullptr)
        return true;
    if (sd_bus_open_user(&connection) < 0) {
        connection = nullptr;
        return false;
    }
    attach_to_main_context();
    return true;
}

bool run_bus(uint64_t deadline, const bool &done) {
    while (!done) {
        int processed = sd_bus_process(connection, nullptr);
        if (processed < 0)
            return false;
        if (processed > 0)
            continue;
        uint64_t now = now_usec();
        if (now >= deadline || sd_bus_wait(connection, deadline - now) < 0)
            return done;
    }
    return true;
}

Message method_call(const char *path, const char *interface, const char *method) {
    sd_bus_message *call = nullptr;
    if (sd_bus_message_new_method_call(connection, &call, kServiceName, path, interface, method) <
        0)
        return nullptr;
    return Message(call);
}

Message bus_method_call(const char *method) {
    sd_bus_message *call = nullptr;
    if (sd_bus_message_new_method_call(connection, &call, "org.freedesktop.DBus",
                                       "/org/freedesktop/DBus", "org.freedesktop.DBus", method) < 0)
        return nullptr;
    return Message(call);
}

} // namespace keyring_client
