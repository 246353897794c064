// Finding the keyring a name means: the keyring at the name's encoded
// path, else the one keyring whose label is the name (the daemon derives
// paths from cleaned-up labels, so "my keys" lives at "my_5fkeys").
#pragma once

#include "request.h"

#include <string>
#include <vector>

namespace keyring_client {

// The first step of every operation on a named keyring: req.action acts
// on the name's own path; acted() then looks at the outcome.
void act_on_name(Request &req);
// Finishes with the action's outcome, unless the keyring was not found at
// the name's path: then the lookup by label follows, once.
void acted(Request &req);
// Reads every keyring's path into req.paths and, into req.replies, every
// keyring's label; then runs then.
void read_labels(Request &req, Step then);
// The same for the paths already in req.paths.
void read_labels_of_paths(Request &req, Step then);
// The paths whose label, in the replies of read_labels, is the name. A
// keyring that vanished since the paths were read is passed over.
GnomeKeyringResult labelled_paths(const Request &req, std::vector<std::string> &found);
// A Properties.Get call.
Message get_property(const std::string &path, const char *interface, const char *property);
// The Properties.Get of the service's list of keyrings.
Message read_of_keyrings();

} // namespace keyring_client
