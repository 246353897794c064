#include "usage.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <glib.h>
#include <langinfo.h>
#include <unistd.h>
#include <utility>

const char usage_str[] =
    "\n"
    "Brassbox is application that lets you manage keyrings.\n"
    "\n"
    "Usage:\n"
    "  %s {--list | -t}\n"
    "     List all the existing keyring names.\n"
    "\n"
    "  %s {--setdef=keyring_name | -s keyring_name}\n"
    "     Set given keyring as default keyring.\n"
    "\n"
    "  %s {--getdef | -g}\n"
    "     Get keyring name of default keyring.\n"
    "\n"
    "  %s {--create=keyring_name | -c keyring_name} [-p password]\n"
    "     Create a given keyring with a password.\n"
    "\n"
    "  %s {--delete=keyring_name | -d keyring_name}\n"
    "     Delete a given keyring.\n"
    "\n"
    "  %s {--lock=keyring_name | -l keyring_name}\n"
    "     Lock a given keyring.\n"
    "\n"
    "  %s {--unlock=keyring_name | -u keyring_name} [-p password]\n"
    "     Unlock given keyring with a password.\n"
    "\n"
    "  %s {--modify=keyring_name | -m keyring_name} [-p password] [-n new_password]\n"
    "     Modify given keyring, old password with a new password.\n"
    "\n"
    "  %s {--info=keyring_name | -i keyring_name}\n"
    "     Get information of a given keyring.\n"
    "\n"
    "  %s {--version | -v}\n"
    "     print version information.\n"
    "\n"
    "  %s {--help | -h}\n"
    "     Print this help.\n"
    "\n";

void print_usage(const char *appname) {
    // With an empty argument vector there is no name as invoked (the
    // kernel may pass an empty one instead).
    const char *name = appname != nullptr && *appname != '\0' ? appname : "brassbox";
    fprintf(stderr, usage_str, name, name, name, name, name, name, name, name, name, name, name);
    exit(0);
}

void print_version() {
    fprintf(stderr, "%s\n", "brassbox 0.10");
}

void print_error(int err_code, const char *err_type) {
    if (err_code < 0 || std::cmp_greater_equal(err_code, kErrorMessages)) {
        fprintf(stderr, "%s: Unknown result code %d\n", err_type, err_code);
        return;
    }
    fprintf(stderr, "%s: %s", err_type, error_msg[err_code]);
}

bool locale_is_utf8() {
    static const bool utf8 = [] {
        locale_t user = newlocale(LC_CTYPE_MASK, "", nullptr);
        if (user == nullptr)
            return false;
        bool is_utf8 = std::string_view(nl_langinfo_l(CODESET, user)) == "UTF-8";
        freelocale(user);
        return is_utf8;
    }();
    return utf8;
}

std::string escape_controls(std::string_view text, bool utf8) {
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    auto escape = [&](std::string_view bytes) {
        for (unsigned char c : bytes) {
            escaped += "\\x";
            escaped += kHex[c >> 4];
            escaped += kHex[c & 0xf];
        }
    };
    for (size_t i = 0; i < text.size();) {
        // A character: a whole UTF-8 sequence, else a byte.
        auto c = static_cast<unsigned char>(text[i]);
        gunichar character = c;
        size_t length = 1;
        if (utf8 && c >= 0x80) {
            gunichar decoded =
                g_utf8_get_char_validated(text.data() + i, static_cast<gssize>(text.size() - i));
            if (decoded < 0x80000000) { // neither invalid (-1) nor cut short (-2)
                character = decoded;
                length = static_cast<unsigned char>(g_utf8_skip[c]);
            }
        }
        std::string_view bytes = text.substr(i, length);
        i += length;
        // C0, DEL and C1; a byte 0x80-0x9f is C1 to an 8-bit terminal.
        if (character < 0x20 || (character >= 0x7f && character <= 0x9f))
            escape(bytes);
        else if (character == '\\')
            escaped += "\\\\";
        else
            escaped += bytes;
    }
    return escaped;
}

std::string shown(std::string_view text, FILE *stream) {
    return isatty(fileno(stream)) != 0 ? escape_controls(text) : std::string(text);
}
