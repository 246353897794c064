// Finding the keyring a name means: the keyring at the name's encoded
// path, else the one keyring whose label is the name (the daemon derives
// paths from cleaned-up labels, so "my keys" lives at "my_5fkeys").
#pragma once

#include "request.h"

#include <string>
#include <vector>

namespace keyring_client {

// A keyring a name finds: its path, or why there is none.
struct Found {
    GnomeKeyringResult result = GNOME_KEYRING_RESULT_NO_SUCH_KEYRING;
    std::string path;
};

// The keyring at the name's own path, unread: an operation on it tells
// whether it is there. None for a name no path can hold; the empty name
// names no keyring at all.
Found own_keyring(const Request &req);
// The one keyring whose label is the name, looked up on the service.
Found find_keyring(const Request &req);

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
