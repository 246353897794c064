// One keyring request in flight: who hears the answer, what it acts on,
// and the replies of the calls it last sent. Internal to the library.
#pragma once

#include "gnome-keyring.h"
#include "replies.h"

#include <gio/gio.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyring_client {

struct VariantUnref {
    void operator()(GVariant *value) const { g_variant_unref(value); }
};
struct ErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};
struct ObjectUnref {
    void operator()(GObject *object) const { g_object_unref(object); }
};
using ObjectPtr = std::unique_ptr<GObject, ObjectUnref>;
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

// A password copy that is wiped before its memory is released.
class Secret {
public:
    explicit Secret(std::string_view text);
    ~Secret();
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    std::string_view view() const { return {bytes_, size_}; }

private:
    size_t size_;
    char *bytes_;
};

struct Request;
using Step = void (*)(Request &req);

struct Reply {
    Request *req = nullptr;
    bool on_keyring = false;
    VariantPtr value;
    ErrorPtr error;
};

// What an operation does to the keyring at req.path, and what the
// replies mean; NO_SUCH_KEYRING sends the request on to the label lookup.
struct KeyringAction {
    void (*send)(Request &req);
    GnomeKeyringResult (*outcome)(Request &req);
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
    std::unique_ptr<Secret> password;
    VariantPtr secret; // the password, encrypted for the session
    ObjectPtr session;
    const KeyringAction *action = nullptr;
    std::string path;
    bool looked_up = false;

    GCancellable *cancellable = nullptr;
    guint timer = 0;
    bool timed_out = false;

    std::vector<Reply> replies;
    size_t pending = 0;
    Step next = nullptr;
    std::vector<std::string> paths; // of every keyring, once read
    Step after_labels = nullptr;

    std::optional<std::string> found; // the string answer
    std::vector<std::string> names;   // the list answer
    GnomeKeyringInfo info;
};

// One method call on the keyring service; a floating params is consumed.
struct Call {
    std::string path;
    const char *interface;
    const char *method;
    GVariant *params;
};

extern const char *const kServicePath;

// Sends the calls together; next runs once every reply is in req.replies.
void send(Request &req, std::vector<Call> calls, Step next);
// What a failed call means, minding the request's own time limit.
GnomeKeyringResult failure(const Request &req, const GError *error, bool on_keyring);
// The first failed reply's result, or OK.
GnomeKeyringResult replies_result(const Request &req);
// Hands the result to the handler and ends the request.
void finish(Request &req, GnomeKeyringResult result);

// Opens the encrypted session and encodes req.password into req.secret.
void encode_password(Request &req, Step next);

} // namespace keyring_client
