// The result lines users and scripts see, byte for byte, typos included:
// written once, as literals, for every tier of tests.
#pragma once

#include <string>

inline const char *const kResultMessages[] = {
    "",
    "Access to keyring denied\n",
    "The gnome-keyring-daemon application is not running\n",
    "The keyring has already been unlocked.\n",
    "A keyring with that name does not exist.\n",
    "Programmer error: The application sent invalid data.\n",
    "Error communicating with gnome-keyring-daemon\n",
    "User interupted\n",
    "A keyring with that name already exists\n",
    "No matching results\n",
    "Feature not supported\n",
};

inline std::string error_line(int code) {
    return std::string("ERROR: ") + kResultMessages[code];
}
