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

inline constexpr const char *kServicePath = "/org/freedesktop/secrets";
inline constexpr const char *kServiceInterface = "org.freedesktop.Secret.Service";
inline constexpr const char *kCollectionInterface = "org.freedesktop.Secret.Collection";
inline constexpr const char *kPropertiesInterface = "org.freedesktop.DBus.Properties";
inline constexpr const char *kMasterInterface =
    "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface";

// A daemon that is alive but stuck must not hold the tool: reaching the
// bus with the availability check, and each request, give up after this.
inline constexpr uint64_t kTimeLimitUsec = 10'000'000;

struct Request;
using Step = void (*)(Request &req);

struct Reply {
    Request *req = nullptr;
    bool on_keyring = false; // sent to a keyring's own object
    Message value;           // the answer, an error included
    Slot slot;               // while the call is under way
    bool unsent = false;     // the call could not even be sent
};

// What an operation does to the keyring at req.path, and what the replies
// mean; NO_SUCH_KEYRING sends the request on to the lookup by label.
struct KeyringAction {
    void (*send)(Request &req);
    GnomeKeyringResult (*outcome)(Request &req);
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

    uint64_t deadline = 0;
    guint starter = 0;
    guint timer = 0;

    std::vector<Reply> replies;
    size_t pending = 0;
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
// Sends the calls together; next runs once every reply is in req.replies.
// A null call counts as one that could not be sent.
void send(Request &req, std::vector<Message> calls, Step next);
void send(Request &req, Message call, Step next);
// What a reply means when it is a failure, or OK.
GnomeKeyringResult reply_result(const Reply &reply);
// The first failed reply's result, or OK.
GnomeKeyringResult replies_result(const Request &req);
// Hands the result to the handler and ends the request.
void finish(Request &req, GnomeKeyringResult result);
// From now on, requests fail at once: the daemon did not answer in time.
void give_up_on_daemon();

// Opens the encrypted session and encrypts req.password into req.secret.
void encrypt_password(Request &req, Step next);

} // namespace keyring_client
