#include "lookup.h"

#include "names.h"
#include "replies.h"

namespace keyring_client {

GnomeKeyringResult act_on_name(const Request &req, const KeyringAction &act) {
    auto path = path_for_name(req.name);
    if (!path)
        return GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
    // Too long for an object path: no keyring's path, though maybe a label.
    if (sd_bus_object_path_is_valid(path->c_str()) != 0) {
        auto result = act(*path);
        if (result != GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
            return result;
    }
    Labelled keyrings;
    auto result = read_labels(req, keyrings);
    if (result == GNOME_KEYRING_RESULT_OK && keyrings.found.size() != 1)
        result = GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
    return result != GNOME_KEYRING_RESULT_OK ? result : act(keyrings.found[0]);
}

GnomeKeyringResult read_labels(const Request &req, Labelled &keyrings) {
    std::vector<std::string> paths;
    Batch batch;
    add_read_of_keyrings(batch, paths);
    auto result = batch.exchange(req.waiting);
    return result != GNOME_KEYRING_RESULT_OK ? result
                                             : read_labels_of(req, std::move(paths), keyrings);
}

GnomeKeyringResult read_labels_of(const Request &req, std::vector<std::string> paths,
                                  Labelled &keyrings) {
    std::vector<std::string> labels(paths.size());
    std::vector<GnomeKeyringResult> outcomes(paths.size());
    Batch batch;
    for (size_t i = 0; i < paths.size(); i++)
        batch.add(
            get_property(paths[i], kCollectionInterface, "Label"),
            [&label = labels[i]](sd_bus_message *reply) { return read_string(reply, label); },
            &outcomes[i]);
    batch.exchange(req.waiting);
    if (!batch.complete())
        return GNOME_KEYRING_RESULT_IO_ERROR;
    for (size_t i = 0; i < paths.size(); i++) {
        if (outcomes[i] == GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
            continue;
        if (outcomes[i] != GNOME_KEYRING_RESULT_OK)
            return outcomes[i];
        if (labels[i] == req.name)
            keyrings.found.push_back(paths[i]);
    }
    keyrings.paths = std::move(paths);
    return GNOME_KEYRING_RESULT_OK;
}

} // namespace keyring_client
