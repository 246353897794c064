// D-Bus messages with any body, sealed as if they had arrived: what the
// reply readers are handed.
#pragma once

#include "bus.h"

#include <sys/socket.h>
#include <unistd.h>

class MessageMaker {
public:
    // sd-bus makes messages only for a bus that has started: one on a
    // socket pair does, and never needs to talk.
    MessageMaker() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        peer_ = fds[1];
        sd_bus_new(&bus_);
        sd_bus_set_fd(bus_, fds[0], fds[0]);
        sd_bus_start(bus_);
    }
    ~MessageMaker() {
        sd_bus_close_unref(bus_);
        close(peer_);
    }
    MessageMaker(const MessageMaker &) = delete;
    MessageMaker &operator=(const MessageMaker &) = delete;

    // An empty message to append a body to; seal() makes it readable.
    keyring_client::Message empty() {
        sd_bus_message *message = nullptr;
        sd_bus_message_new_method_call(bus_, &message, "org.example.Reply", "/",
                                       "org.example.Reply", "Reply");
        return keyring_client::Message(message);
    }
    keyring_client::Message seal(keyring_client::Message message) {
        sd_bus_message_seal(message.get(), ++cookie_, 0);
        return message;
    }
    // A message whose body is the arguments, as sd_bus_message_append takes them.
    template <typename... Args> keyring_client::Message make(const char *types, Args... args) {
        auto message = empty();
        sd_bus_message_append(message.get(), types, args...);
        return seal(std::move(message));
    }

private:
    sd_bus *bus_ = nullptr;
    int peer_ = -1;
    uint64_t cookie_ = 0;
};
