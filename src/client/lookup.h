// Finding the keyring a name means: the keyring at the name's encoded
// path, else the one keyring whose label is the name (the daemon derives
// paths from cleaned-up labels, so "my keys" lives at "my_5fkeys").
#pragma once

#include "request.h"

#include <functional>
#include <string>
#include <vector>

namespace keyring_client {

// What is done to the keyring at a path: NO_SUCH_KEYRING when none is there.
using KeyringAction = std::function<GnomeKeyringResult(const std::string &path)>;

// Acts on the keyring at the name's own path; when none is there, on the
// one keyring whose label is the name.
GnomeKeyringResult act_on_name(const Request &req, const KeyringAction &act);

// The service's keyrings, as the request's name finds them.
struct Labelled {
    std::vector<std::string> paths; // every keyring's
    std::vector<std::string> found; // those whose label is the name
};
// Reads the list of keyrings, then each one's label.
GnomeKeyringResult read_labels(const Request &req, Labelled &keyrings);
// Reads the labels of these keyrings; one that vanished since they were
// listed is passed over.
GnomeKeyringResult read_labels_of(const Request &req, std::vector<std::string> paths,
                                  Labelled &keyrings);

} // namespace keyring_client
