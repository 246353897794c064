// Keyring names and the object paths the daemon keeps them under.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace keyring_client {

inline constexpr std::string_view kCollectionPrefix = "/org/freedesktop/secrets/collection/";

// The path element for a name: ASCII letters and digits as they are, every
// other byte as '_' and two lower-case hex digits ("my_keys" -> "my_5fkeys").
std::string encode_name(std::string_view name);

// The inverse of encode_name; nothing for text it cannot have produced,
// or for a name holding a NUL byte.
std::optional<std::string> decode_name(std::string_view element);

// A valid object path for every non-empty name; nothing for the empty name.
std::optional<std::string> path_for_name(std::string_view name);

// The name a listing shows for a path: the decoded element, or the element
// as it stands when it does not decode.
std::string name_for_path(std::string_view path);

} // namespace keyring_client
