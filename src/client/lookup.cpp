#include "lookup.h"

#include "names.h"
#include "replies.h"

namespace keyring_client {

Found own_keyring(const Request &req) {
    auto path = path_for_name(req.name);
    // Too long for an object path: no keyring's path, though maybe a label.
    if (!path || sd_bus_object_path_is_valid(path->c_str()) == 0)
        return {};
    return {GNOME_KEYRING_RESULT_OK, *path};
}

Found find_keyring(const Request &req) {
    if (req.name.empty())
        return {};
    Labelled keyrings;
    auto result = read_labels(req, keyrings);
    if (result != GNOME_KEYRING_RESULT_OK)
        return {result, {}};
    if (keyrings.found.size() != 1)
        return {};
    return {GNOME_KEYRING_RESULT_OK, keyrings.found[0]};
}

GnomeKeyringResult read_labels(const Request &req, Labelled &keyrings) {
    Batch batch;
    auto &listed = add_read_of_keyrings(batch);
    auto result = batch.exchange(req.waiting);
    return result != GNOME_KEYRING_RESULT_OK
               ? result
               : read_labels_of(req, std::move(listed.value), keyrings);
}

GnomeKeyringResult read_labels_of(const Request &req, std::vector<std::string> paths,
                                  Labelled &keyrings) {
    std::vector<const Reply<read_string> *> labels;
    labels.reserve(paths.size());
    Batch batch;
    for (const auto &path : paths)
        labels.push_back(
            &batch.add<read_string>(get_property(path, kCollectionInterface, "Label")));
    batch.exchange(req.waiting);
    if (!batch.complete())
        return GNOME_KEYRING_RESULT_IO_ERROR;
    for (size_t i = 0; i < paths.size(); i++) {
        if (labels[i]->outcome == GNOME_KEYRING_RESULT_NO_SUCH_KEYRING)
            continue;
        if (labels[i]->outcome != GNOME_KEYRING_RESULT_OK)
            return labels[i]->outcome;
        if (labels[i]->value == req.name)
            keyrings.found.push_back(paths[i]);
    }
    keyrings.paths = std::move(paths);
    return GNOME_KEYRING_RESULT_OK;
}

} // namespace keyring_client
