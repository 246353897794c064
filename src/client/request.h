// One keyring request in flight: who hears the answer, what it acts on,
// and the replies of the calls it last sent. Internal to the library.
#pragma once

#include "bus.h"
#include "crypto.h"
#include "gnome-keyring.h"
#include "info.h"

#include <array>
#include <glib.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace keyring_client {

inline constexpr const char *kServiceInterface = "org.freedesktop.Secret.Service";
inline constexpr const char *kCollectionInterface = "org.freedesktop.Secret.Collection";
inline constexpr const char *kPropertiesInterface = "org.freedesktop.DBus.Properties";
inline constexpr const char *kMasterInterface =
    "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

// At most this many calls of a request are under way at once: a bus lets
// a connection await only so many replies (dbus-daemon's default: 128).
inline constexpr size_t kCallsInFlight = 64;

struct Request;
using Step = void (*)(Request &req);

struct Reply {
    Request *req = nullptr;
    bool on_keyring = false; // sent to a keyring's own object
    Message value;           // the answer, an error included
    Slot slot;               // while the call is under way
    bool unsent = false;     // the call could not even be sent
};

struct Change;

// What an operation does to the keyring at req.path, and what the replies
// mean; NO_SUCH_KEYRING sends the request on to the lookup by label.
struct KeyringAction {
    void (*send)(Request &req) = nullptr;
    GnomeKeyringResult (*outcome)(Request &req) = nullptr;
    const Change *change = nullptr; // what send and outcome make of a change
};

// A password as the session carries it.
struct EncryptedSecret {
    std::string session;
    std::array<uint8_t, kBlockBytes> iv{};
    std::vector<uint8_t> ciphertext;
};

struct Request {
    Request() = default;
    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    GnomeKeyringDoneCallback on_done = nullptr;
    GnomeKeyringStringCallback on_string = nullptr;
    GnomeKeyringListCallback on_list = nullptr;
    GnomeKeyringInfoCallback on_info = nullptr;
    gpointer data = nullptr;
    GDestroyNotify destroy_data = nullptr;

    std::string name;
    Bytes password;
    std::unique_ptr<DhKeyPair> keys; // while the session is being opened
    EncryptedSecret secret;
    const KeyringAction *action = nullptr;
    std::string path;
    bool looked_up = false;

    Waiting waiting; // from the operation call to the handler
    guint starter = 0;
    guint timer = 0;

    std::vector<Message> calls; // of the last send, until each goes out
    std::vector<Reply> replies;
    size_t sent = 0;
    size_t pending = 0; // replies still to come
    Step next = nullptr;
    Step then = nullptr;            // where a shared step goes on to
    std::vector<std::string> paths; // of every keyring, once read

    std::optional<std::string> found; // the string answer
    std::vector<std::string> names;   // the list answer
    GnomeKeyringInfo info;
};

// Starts the request from the main loop, so that even one that fails at
// once is answered from there, never from inside the operation call.
gpointer start(std::unique_ptr<Request> owned, Step first);
// Sends the calls, kCallsInFlight at most at a time; next runs once every
// reply is in req.replies, in the order of the calls. A null call counts
// as one that could not be sent. An answer from anybody but the service
// ends the request at once, and nothing more is sent.
void send(Request &req, std::vector<Message> calls, Step next);
void send(Request &req, Message call, Step next);
// What a reply means when it is a failure, or OK.
GnomeKeyringResult reply_result(const Reply &reply);
// The first failed reply's result, or OK.
GnomeKeyringResult replies_result(const Request &req);
// Hands the result to the handler and ends the request.
void finish(Request &req, GnomeKeyringResult result);

// Opens the encrypted session and encrypts req.password into req.secret.
void encrypt_password(Request &req, Step next);

} // namespace keyring_client
