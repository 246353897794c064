// One keyring request, from the operation call to its handler, and the
// batches of calls it sends to the service on the way.
#pragma once

#include "bus.h"
#include "crypto.h"
#include "gnome-keyring.h"
#include "info.h"
#include "replies.h"

#include <array>
#include <glib.h>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <variant>
#include <vector>

namespace keyring_client {

inline constexpr const char *kServiceInterface = "org.freedesktop.Secret.Service";
inline constexpr const char *kCollectionInterface = "org.freedesktop.Secret.Collection";

// At most this many calls of a batch are under way at once: a bus lets a
// connection await only so many replies (dbus-daemon's default: 128).
inline constexpr size_t kCallsInFlight = 64;

// The handler of a request, of the kind its operation answers with.
using Handler = std::variant<GnomeKeyringDoneCallback, GnomeKeyringStringCallback,
                             GnomeKeyringListCallback, GnomeKeyringInfoCallback>;

// A password as the session carries it.
struct EncryptedSecret {
    std::string session;
    std::array<uint8_t, kBlockBytes> iv{};
    std::vector<uint8_t> ciphertext;
};

// Who hears the answer to a request, what the request is about, and what
// the answer carries.
struct Request {
    Handler handler;
    gpointer data = nullptr;
    GDestroyNotify destroy_data = nullptr;

    std::string name;
    Bytes password;
    EncryptedSecret secret; // once the session is open
    Waiting waiting;        // from the operation call to the handler

    std::optional<std::string> found; // the string answer
    std::vector<std::string> names;   // the list answer
    GnomeKeyringInfo info;
};

// The whole of an operation, run from the main loop once the service is
// found: it waits on the bus for each batch it sends in turn.
using Operation = GnomeKeyringResult (*)(Request &req);

// Runs the operation from the main loop, so that even one that fails at
// once is answered from there, never from inside the operation call. The
// loop's source owns the request: released once answered, or with the
// source if never run. The request's handle.
gpointer start(std::unique_ptr<Request> req, Operation operation);

// What a call's reply came to: the failure its error, or its missing
// reply, means, or what its reader made of it; and the value read.
struct Outcome {
    virtual ~Outcome() = default;
    // Reads a method return of the service's own; errors are the batch's.
    virtual GnomeKeyringResult read(sd_bus_message *reply) = 0;
    GnomeKeyringResult outcome = GNOME_KEYRING_RESULT_IO_ERROR;
};

// A reply that carries nothing to keep.
struct Nothing {};

// What a reader of a reply reads into.
template <typename T> T read_into(GnomeKeyringResult (*)(sd_bus_message *, T &));
Nothing read_into(GnomeKeyringResult (*)(sd_bus_message *));

// The reply to a call, read by Read: its outcome, and the value read.
template <auto Read> struct Reply final : Outcome {
    GnomeKeyringResult read(sd_bus_message *reply) override {
        if constexpr (std::is_same_v<Value, Nothing>)
            return Read(reply);
        else
            return Read(reply, value);
    }

    using Value = decltype(read_into(Read));
    Value value{};
};

// Calls sent together, each paired with the reader of its reply. What add
// hands back is read once exchange() has returned: the batch keeps it.
class Batch {
public:
    // The call, its reply read by Read: a null call counts as one that
    // could not be sent. Adding to a batch sent already aborts: a fault.
    template <auto Read> Reply<Read> &add(Message call) {
        auto reply = std::make_unique<Reply<Read>>();
        Reply<Read> &added = *reply;
        add_call(std::move(call), std::move(reply));
        return added;
    }
    // Sends the calls, kCallsInFlight at most under way and none once the
    // deadline has passed, and waits for every reply by the deadline, a
    // stranger's passed over; then the first failed call's outcome, or OK.
    GnomeKeyringResult exchange(const Waiting &waiting);
    // Whether every reply came, each from the service.
    bool complete() const { return complete_; }

private:
    struct Call {
        Message message; // until sent
        std::unique_ptr<Outcome> reply;
        bool on_keyring = false; // sent to a keyring's own object
    };
    void add_call(Message call, std::unique_ptr<Outcome> reply);
    static int on_message(sd_bus_message *message, void *data, sd_bus_error *error);
    void send_more();

    std::vector<Call> calls_;
    std::unordered_map<uint64_t, size_t> awaited_; // the calls under way, by cookie
    uint64_t deadline_ = 0;
    size_t sent_ = 0;
    size_t done_ = 0; // answered, or not sent at all
    bool started_ = false;
    bool complete_ = false;
};

// A Properties.Get call.
Message get_property(const std::string &path, const char *interface, const char *property);
// The read of the service's list of keyrings: their paths.
Reply<read_paths> &add_read_of_keyrings(Batch &batch);

// Opens the encrypted session and encrypts req.password into req.secret,
// once per request.
GnomeKeyringResult encrypt_password(Request &req);

} // namespace keyring_client
