// What the daemon's answers mean: D-Bus errors and reply bodies turned
// into result codes. Every reader checks the reply's type itself, so any
// message the bus delivers is safe to hand over.
#pragma once

#include "gnome-keyring.h"
#include "info.h"

#include <gio/gio.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyring_client {

// on_keyring: the call went to a keyring's own object, so "no such object
// or method there" means the keyring does not exist.
GnomeKeyringResult result_for_error(const GError *error, bool on_keyring);

// Properties.Get of an object-path array ("Collections").
GnomeKeyringResult read_paths(GVariant *reply, std::vector<std::string> &paths);
// Properties.Get of a string ("Label").
GnomeKeyringResult read_string(GVariant *reply, std::string &text);
// ReadAlias: no path when the alias is unset ("/").
GnomeKeyringResult read_alias(GVariant *reply, std::optional<std::string> &path);
// Properties.Get of Locked, Created and Modified.
GnomeKeyringResult read_info(GVariant *locked, GVariant *created, GVariant *modified,
                             GnomeKeyringInfo &info);
// Service.Lock of the one keyring at path: not found when it was not locked.
GnomeKeyringResult read_lock(GVariant *reply, std::string_view path);
// A reply that is one object path naming a prompt ("/" for none): a prompt
// is refused, since nobody could answer it.
GnomeKeyringResult read_prompt(GVariant *reply);
// CreateWithMasterPassword: the new keyring's path.
GnomeKeyringResult read_created(GVariant *reply, std::string &path);

} // namespace keyring_client
