// A scripted stand-in for the keyring client library: every request is
// answered from the main loop with whatever the test put here.
#pragma once

#include "client/gnome-keyring.h"

#include <string>
#include <vector>

struct GnomeKeyringInfo {
    bool locked = false;
    bool lock_on_idle = false;
    guint32 lock_timeout = 0;
    time_t ctime = 0;
    time_t mtime = 0;
};

struct FakeKeyring {
    bool available = true;
    GnomeKeyringResult result = GNOME_KEYRING_RESULT_OK;
    std::vector<const char *> names;
    const char *string = nullptr;
    GnomeKeyringInfo info;

    // What the requests asked for.
    int requests = 0;
    std::string operation;
    std::string keyring;
    std::string password;
};

extern FakeKeyring fake;
