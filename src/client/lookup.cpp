#include "lookup.h"

#include "names.h"
#include "replies.h"

namespace keyring_client {
namespace {

void act_on_label(Request &req) {
    std::vector<std::string> found;
    auto result = labelled_paths(req, found);
    if (result == GNOME_KEYRING_RESULT_OK && found.size() != 1)
        result = GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
    if (result != GNOME_KEYRING_RESULT_OK)
        return finish(req, result);
    req.path = found[0];
    req.action->send(req);
}

void on_collections(Request &req) {
    auto result = replies_result(req);
    req.paths.clear();
    if (result == GNOME_KEYRING_RESULT_OK)
        result = read_paths(req.replies[0].value.get(), req.paths);
    if (result != GNOME_KEYRING_RESULT_OK)
        return finish(req, result);
    read_labels_of_paths(req, req.then);
}

} // namespace

Message get_property(const std::string &path, const char *interface, const char *property) {
    return with_arguments(method_call(path.c_str(), kPropertiesInterface, "Get"), "ss", interface,
                          property);
}

Message read_of_keyrings() {
    return get_property(kServicePath, kServiceInterface, "Collections");
}

void act_on_name(Request &req) {
    auto path = path_for_name(req.name);
    if (!path)
        return finish(req, GNOME_KEYRING_RESULT_NO_SUCH_KEYRING);
    // Too long for an object path: no keyring's path, though maybe a label.
    if (sd_bus_object_path_is_valid(path->c_str()) == 0) {
        req.looked_up = true;
        return read_labels(req, act_on_label);
    }
    req.path = std::move(*path);
    req.action->send(req);
}

void acted(Request &req) {
    auto result = req.action->outcome(req);
    if (result != GNOME_KEYRING_RESULT_NO_SUCH_KEYRING || req.looked_up)
        return finish(req, result);
    req.looked_up = true;
    read_labels(req, act_on_label);
}

void read_labels(Request &req, Step then) {
    req.then = then;
    send(req, read_of_keyrings(), on_collections);
}

void read_labels_of_paths(Request &req, Step then) {
    std::vector<Message> calls;
    calls.reserve(req.paths.size());
    for (const auto &path : req.paths)
        calls.push_back(get_property(path, kCollectionInterface, "Label"));
    send(req, std::move(calls), then);
}

GnomeKeyringResult labelled_paths(const Request &req, std::vector<std::string> &found) {
    for (size_t i = 0; i < req.replies.size() && i < req.paths.size(); i++) {
        const Reply &reply = req.replies[i];
        auto result = reply_result(reply);
        if (result == GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
            continue;
        std::string label;
        if (result == GNOME_KEYRING_RESULT_OK)
            result = read_string(reply.value.get(), label);
        if (result != GNOME_KEYRING_RESULT_OK)
            return result;
        if (label == req.name)
            found.push_back(req.paths[i]);
    }
    return GNOME_KEYRING_RESULT_OK;
}

} // namespace keyring_client
