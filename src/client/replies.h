// What the daemon's answers mean: D-Bus error names and reply bodies
// turned into result codes. Every reader checks the reply's whole
// signature itself, so any message the bus delivers is safe to hand over,
// and reads it from the start, so a reply can be read again.
#pragma once

#include "gnome-keyring.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <systemd/sd-bus.h>
#include <vector>

namespace keyring_client {

// on_keyring: the call went to a keyring's own object, so "no such object
// or method there" means the keyring does not exist; on the service's own
// object it means the service cannot do what was asked.
GnomeKeyringResult result_for_error(std::string_view name, bool on_keyring);

// Properties.Get of an object-path array ("Collections").
GnomeKeyringResult read_paths(sd_bus_message *reply, std::vector<std::string> &paths);
// GetNameOwner: the unique name of a bus name's owner.
bool read_owner(sd_bus_message *reply, std::string &owner);
// Properties.Get of a string ("Label").
GnomeKeyringResult read_string(sd_bus_message *reply, std::string &text);
// ReadAlias: no path when the alias is unset ("/").
GnomeKeyringResult read_alias(sd_bus_message *reply, std::optional<std::string> &path);
// Properties.Get of Locked.
GnomeKeyringResult read_locked(sd_bus_message *reply, bool &locked);
// Properties.Get of a time (Created, Modified). One past what time_t holds
// is read as its largest value, never wrapped into the past.
GnomeKeyringResult read_time(sd_bus_message *reply, time_t &time);
// Service.Lock: refused when it returns a prompt, since nobody could
// answer it. Whether anything was locked is the keyring's state to say.
GnomeKeyringResult read_lock(sd_bus_message *reply);
// A reply that is one object path naming a prompt ("/" for none): a prompt
// is refused, since nobody could answer it.
GnomeKeyringResult read_prompt(sd_bus_message *reply);
// CreateWithMasterPassword: the new keyring's path, which must be one.
GnomeKeyringResult read_created(sd_bus_message *reply, std::string &path);
// A reply defined to carry nothing (SetAlias, UnlockWithMasterPassword).
GnomeKeyringResult read_empty(sd_bus_message *reply);
// Properties.GetAll: a dictionary of properties.
GnomeKeyringResult read_properties(sd_bus_message *reply);
// OpenSession of the encrypted algorithm: the service's public value and
// the session's path.
struct Opened {
    std::vector<uint8_t> public_value;
    std::string path;
};
GnomeKeyringResult read_session(sd_bus_message *reply, Opened &opened);

} // namespace keyring_client
