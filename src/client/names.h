// Keyring names and the object paths the daemon keeps them under.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyring_client {

inline constexpr std::string_view kCollectionPrefix = "/org/freedesktop/secrets/collection/";

// The path element for a name: ASCII letters and digits as they are, every
// other byte as '_' and two lower-case hex digits ("my_keys" -> "my_5fkeys").
std::string encode_name(std::string_view name);

// The inverse of encode_name; nothing for text it cannot have produced,
// or for a name holding a NUL byte.
std::optional<std::string> decode_name(std::string_view element);

// A valid object path for every non-empty name (sd-bus takes none longer
// than 64 KiB, though); nothing for the empty name.
std::optional<std::string> path_for_name(std::string_view name);

// Whether a path is a keyring's own: the collections' prefix and one
// element after it ("/" or the prefix alone name none).
bool is_keyring_path(std::string_view path);

// The name a listing shows for a path: the decoded element, or the element
// as it stands when it does not decode.
std::string name_for_path(std::string_view path);

// The keyring a name finds among the daemon's keyrings (all their paths)
// when `labelled` are the paths of those whose label is the name: the one
// at the name's own path, else the one of the daemon's earliest choice.
// The daemon names a keyring after its label and, while that is taken,
// adds the lowest free "_N", so the earliest is the shortest path, then
// the first in byte order. Nothing when the name finds no keyring.
std::optional<std::string> keyring_for_name(std::string_view name,
                                            const std::vector<std::string> &all,
                                            const std::vector<std::string> &labelled);

} // namespace keyring_client
