#include "bus.h"

#include "replies.h"

#include <algorithm>
#include <ctime>
#include <glib.h>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>

namespace keyring_client {
namespace {

constexpr const char *kBusName = "org.freedesktop.DBus";

// Messages handled in one turn of the main loop: a peer flooding us with
// them must not keep the request's time limit from its turn.
constexpr int kMessagesPerTurn = 64;

sd_bus *connection = nullptr;
// The unique name of the service's owner, once found.
std::string owner;
// Whether find_service() has run, and what it found.
std::optional<bool> service_found;
// Of the time limit, what stretches of waiting have used up.
uint64_t spent_usec = 0;

// The connection as a source of the main context: its socket, the events
// sd-bus waits for, and its next time-out.
struct BusSource {
    GSource source;
    GPollFD poll;
};

// Milliseconds until sd-bus must run again, or -1 for no time-out; 0 also
// when messages already read wait to be handled.
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
    for (int i = 0; i < kMessagesPerTurn && sd_bus_process(connection, nullptr) > 0; i++) {
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

bool open_bus() {
    if (sd_bus_open_user(&connection) < 0) {
        connection = nullptr;
        return false;
    }
    // The main loop polls one descriptor; a connection that reads and
    // writes on two (possible with unixexec:) could never be answered.
    if (sd_bus_get_fd(connection) < 0) {
        connection = sd_bus_flush_close_unref(connection);
        return false;
    }
    attach_to_main_context();
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
    if (sd_bus_message_new_method_call(connection, &call, destination, path, interface, method) < 0)
        return nullptr;
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

// Sends one call and drives the connection, outside any main loop, until
// its answer comes: null when the connection fails or the deadline passes
// first. However busy the connection, the deadline is looked at.
Message ask(Message call, uint64_t deadline) {
    Answer answer;
    sd_bus_slot *slot = nullptr;
    // The deadline decides, not the call's own time-out.
    if (call == nullptr || sd_bus_call_async(connection, &slot, call.get(), on_answer, &answer,
                                             2 * kTimeLimitUsec) < 0)
        return nullptr;
    Slot pending(slot);
    for (uint64_t now = now_usec(); !answer.given && now < deadline; now = now_usec()) {
        int processed = sd_bus_process(connection, nullptr);
        if (processed < 0 || (processed == 0 && sd_bus_wait(connection, deadline - now) < 0))
            break;
    }
    return std::move(answer.reply);
}

// Asks the bus who owns the service's name.
Owner ask_owner(uint64_t deadline) {
    Message reply =
        ask(with_arguments(call_to(kBusName, "/org/freedesktop/DBus", kBusName, "GetNameOwner"),
                           "s", kServiceName),
            deadline);
    return owner_named(reply.get(), owner);
}

bool reach_service(uint64_t deadline) {
    // A running service owns its name, and the bus says so itself.
    switch (ask_owner(deadline)) {
    case Owner::Found:
    case Owner::Forged:
        return true;
    case Owner::Unknown:
        return false;
    case Owner::Nobody:
        break;
    }
    // Nobody owns it: a call to the name has the bus start the service.
    Message pong =
        ask(call_to(kServiceName, kServicePath, "org.freedesktop.DBus.Peer", "Ping"), deadline);
    if (pong == nullptr)
        // Started and silent until the deadline: there, but stuck.
        return sd_bus_is_open(connection) > 0;
    if (is_error(pong.get()) && sent_by(pong.get(), kBusName))
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

uint64_t Waiting::left() const {
    uint64_t now = now_usec();
    return deadline_ > now ? deadline_ - now : 0;
}

sd_bus *bus() {
    return connection;
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
