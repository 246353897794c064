#include "names.h"

#include <algorithm>

namespace keyring_client {
namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

bool is_plain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

int hex_value(char c) {
    auto at = kHexDigits.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

} // namespace

std::string encode_name(std::string_view name) {
    std::string element;
    element.reserve(name.size());
    for (unsigned char c : name) {
        if (is_plain(c)) {
            element += static_cast<char>(c);
        } else {
            element += '_';
            element += kHexDigits[c >> 4];
            element += kHexDigits[c & 0xf];
        }
    }
    return element;
}

std::optional<std::string> decode_name(std::string_view element) {
    std::string name;
    for (size_t i = 0; i < element.size(); i++) {
        auto c = static_cast<unsigned char>(element[i]);
        if (is_plain(c)) {
            name += static_cast<char>(c);
            continue;
        }
        if (c != '_' || i + 2 >= element.size())
            return std::nullopt;
        int high = hex_value(element[i + 1]);
        int low = hex_value(element[i + 2]);
        int byte = high * 16 + low;
        if (high < 0 || low < 0 || byte == 0 || is_plain(static_cast<unsigned char>(byte)))
            return std::nullopt;
        name += static_cast<char>(byte);
        i += 2;
    }
    return name;
}

std::optional<std::string> path_for_name(std::string_view name) {
    if (name.empty())
        return std::nullopt;
    return std::string(kCollectionPrefix) + encode_name(name);
}

bool is_keyring_path(std::string_view path) {
    if (!path.starts_with(kCollectionPrefix))
        return false;
    path.remove_prefix(kCollectionPrefix.size());
    return !path.empty() && path.find('/') == std::string_view::npos;
}

std::string name_for_path(std::string_view path) {
    if (path.starts_with(kCollectionPrefix))
        path.remove_prefix(kCollectionPrefix.size());
    auto name = decode_name(path);
    return name ? *name : std::string(path);
}

std::optional<std::string> keyring_for_name(std::string_view name,
                                            const std::vector<std::string> &all,
                                            const std::vector<std::string> &labelled) {
    auto own = path_for_name(name);
    if (own && std::ranges::find(all, *own) != all.end())
        return own;
    auto earliest = std::ranges::min_element(labelled, [](const auto &a, const auto &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    if (earliest == labelled.end())
        return std::nullopt;
    return *earliest;
}

} // namespace keyring_client
