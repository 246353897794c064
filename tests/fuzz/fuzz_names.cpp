// Keyring names and object paths: every name has a valid path that
// leads back to it, and no text crashes the decoder.
#include "names.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <glib.h>

using namespace keyring_client;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);

    // Names come from C strings: no NUL inside.
    std::string name(input.substr(0, input.find('\0')));
    auto path = path_for_name(name);
    if (path.has_value() == name.empty() ||
        (path && (!g_variant_is_object_path(path->c_str()) || name_for_path(*path) != name)))
        abort();

    // Whatever a daemon sends back as a path element.
    auto decoded = decode_name(input);
    if (decoded && encode_name(*decoded) != input)
        abort();
    name_for_path(input);
    return 0;
}
