// One keyring request, from the operation call to its handler, and the
// batches of calls it sends to the service on the way. Internal to the
// library.
#pragma once

#include "bus.h"
#include "crypto.h"
#include "gnome-keyring.h"
#include "info.h"

#include <array>
#include <functional>
#include <glib.h>
#include <memory>
#include <optional>
#include <string>
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

// Who hears the answer to a request, what the request is about, and what
// the answer carries.
struct Request {
    Handler handler;
    gpointer data = nullptr;
    GDestroyNotify destroy_data = nullptr;

    std::string name;
    Bytes password;
    Waiting waiting; // from the operation call to the handler

    std::optional<std::string> found; // the string answer
    std::vector<std::string> names;   // the list answer
    GnomeKeyringInfo info;
};

// The whole of an operation, run from the main loop: it finds the
// service, then waits on the bus for each batch it sends in turn.
using Operation = GnomeKeyringResult (*)(Request &req);

// Runs the operation from the main loop, so that even one that fails at
// once is answered from there, never from inside the operation call. The
// main loop owns the request until it runs; the request is answered and
// released there.
gpointer start(std::unique_ptr<Request> req, Operation operation);

// What a reply carries, read by the reader of its call. Readers see only
// the service's own method returns; errors are the batch's to read.
using Reader = std::function<GnomeKeyringResult(sd_bus_message *reply)>;

// Calls sent together, each paired with the reader of its reply.
class Batch {
public:
    // A null call counts as one that could not be sent. The call's
    // outcome, when asked for, is what its reader made of the reply, or
    // the failure that its error, or its missing reply, means.
    void add(Message call, Reader read = nullptr, GnomeKeyringResult *outcome = nullptr);
    // Sends the calls, kCallsInFlight at most under way at a time, and
    // waits for every reply by the request's deadline; then the first
    // failed call's outcome, in the order of the calls, or OK. An answer
    // from anybody but the service ends the wait at once, and nothing
    // more is sent: IO_ERROR, as for a deadline passed.
    GnomeKeyringResult exchange(const Waiting &waiting);
    // Whether every reply came, each from the service.
    bool complete() const { return complete_; }

private:
    struct Call {
        Batch *batch = nullptr;
        Message message; // until sent
        Reader read;
        GnomeKeyringResult outcome = GNOME_KEYRING_RESULT_IO_ERROR;
        GnomeKeyringResult *outcome_to = nullptr;
        bool on_keyring = false; // sent to a keyring's own object
        Slot slot;               // while the call is under way
    };
    static int on_reply(sd_bus_message *reply, void *data, sd_bus_error *error);
    void send_more();

    std::vector<Call> calls_;
    size_t sent_ = 0;
    size_t in_flight_ = 0;
    size_t done_ = 0; // answered, or not sent at all
    bool forged_ = false;
    bool complete_ = false;
};

// A Properties.Get call.
Message get_property(const std::string &path, const char *interface, const char *property);
// The read of the service's list of keyrings, their paths into paths.
void add_read_of_keyrings(Batch &batch, std::vector<std::string> &paths,
                          GnomeKeyringResult *outcome = nullptr);

// A password as the session carries it.
struct EncryptedSecret {
    std::string session;
    std::array<uint8_t, kBlockBytes> iv{};
    std::vector<uint8_t> ciphertext;
};

// Opens the encrypted session and encrypts req.password into secret.
GnomeKeyringResult encrypt_password(const Request &req, EncryptedSecret &secret);

} // namespace keyring_client
