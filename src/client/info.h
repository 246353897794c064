// The record behind GnomeKeyringInfo, for the code that fills it in.
#pragma once

#include "gnome-keyring.h"

struct GnomeKeyringInfo {
    bool locked = false;
    // The daemon does not publish idle locking over D-Bus.
    bool lock_on_idle = false;
    guint32 lock_timeout = 0;
    time_t ctime = 0;
    time_t mtime = 0;
};
