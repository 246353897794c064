// A scripted stand-in for the keyring client library: every request is
// answered from the main loop with whatever the test put here.
#pragma once

#include "client/info.h"

#include <string>
#include <vector>

struct FakeKeyring {
    GnomeKeyringResult result = GNOME_KEYRING_RESULT_OK;
    std::vector<const char *> names;
    const char *string = nullptr;
    GnomeKeyringInfo info;

    // What the last request asked for.
    std::string operation;
    std::string keyring;
    std::string password;
};

extern FakeKeyring fake;
