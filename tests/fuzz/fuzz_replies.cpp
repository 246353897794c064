// Daemon replies: a message of any shape, handed to every reader, must
// give a result code and never crash; so must any error name.
#include "message_maker.h"
#include "replies.h"

#include <array>
#include <string>

using namespace keyring_client;

namespace {

// The input, read a little at a time; zeros once it runs out.
struct Input {
    const uint8_t *data;
    size_t size;
    uint8_t byte() {
        if (size == 0)
            return 0;
        size--;
        return *data++;
    }
    uint64_t number() {
        uint64_t value = 0;
        for (int i = 0; i < 8; i++)
            value = value << 8 | byte();
        return value;
    }
};

// Types the readers expect and types they must turn away.
constexpr std::array kTypes = {"b", "y", "u", "t", "x", "s", "o", "ay", "ao", "as", "v", "(so)"};
constexpr std::array kPaths = {"/", "/org/freedesktop/secrets/collection/login",
                               "/org/freedesktop/secrets/prompt/p1", "/a/b"};

void append(sd_bus_message *message, std::string_view type, Input &in, int depth) {
    switch (type[0]) {
    case 'b': {
        int value = in.byte() & 1;
        sd_bus_message_append_basic(message, 'b', &value);
        break;
    }
    case 'y':
    case 'u':
    case 't':
    case 'x': {
        uint64_t value = in.number();
        sd_bus_message_append_basic(message, type[0], &value);
        break;
    }
    case 's': {
        std::string text;
        for (uint8_t length = in.byte() % 16; length > 0; length--)
            text += static_cast<char>(in.byte());
        // Not UTF-8: sd-bus refuses it, as it refuses it from the wire.
        sd_bus_message_append_basic(message, 's', text.c_str());
        break;
    }
    case 'o':
        sd_bus_message_append_basic(message, 'o', kPaths[in.byte() % kPaths.size()]);
        break;
    case 'a': {
        std::string element(type.substr(1));
        sd_bus_message_open_container(message, 'a', element.c_str());
        for (uint8_t count = in.byte() % 4; count > 0; count--)
            append(message, element, in, depth + 1);
        sd_bus_message_close_container(message);
        break;
    }
    case 'v': {
        const char *inner = depth < 3 ? kTypes[in.byte() % kTypes.size()] : "b";
        sd_bus_message_open_container(message, 'v', inner);
        append(message, inner, in, depth + 1);
        sd_bus_message_close_container(message);
        break;
    }
    case '(':
        sd_bus_message_open_container(message, 'r', "so");
        append(message, "s", in, depth + 1);
        append(message, "o", in, depth + 1);
        sd_bus_message_close_container(message);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static MessageMaker messages;
    Input in{data, size};
    auto reply = messages.empty();
    for (uint8_t count = in.byte() % 4; count > 0; count--)
        append(reply.get(), kTypes[in.byte() % kTypes.size()], in, 0);
    reply = messages.seal(std::move(reply));

    std::vector<std::string> paths;
    std::string text;
    std::optional<std::string> alias;
    time_t time = 0;
    read_paths(reply.get(), paths);
    read_owner(reply.get(), text);
    read_string(reply.get(), text);
    read_alias(reply.get(), alias);
    read_time(reply.get(), time);
    read_lock(reply.get());
    bool locked = false;
    read_locked(reply.get(), locked);
    read_prompt(reply.get());
    read_created(reply.get(), text);
    read_empty(reply.get());
    Opened opened;
    read_session(reply.get(), opened);

    result_for_error(std::string(reinterpret_cast<const char *>(data), size), size % 2 == 0);
    return 0;
}
