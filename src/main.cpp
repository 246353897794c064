#include "keyring.h"
#include "prompt.h"
#include "usage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>
#include <vector>

GMainLoop *loop = nullptr;

const char *const error_msg[kErrorMessages] = {
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

const struct option long_options[] = {
    {"list", 0, nullptr, 't'},   {"setdef", 1, nullptr, 's'},  {"getdef", 0, nullptr, 'g'},
    {"create", 1, nullptr, 'c'}, {"delete", 1, nullptr, 'd'},  {"lock", 1, nullptr, 'l'},
    {"unlock", 1, nullptr, 'u'}, {"modify", 1, nullptr, 'm'},  {"info", 1, nullptr, 'i'},
    {"help", 0, nullptr, 'h'},   {"version", 0, nullptr, 'v'}, {nullptr, 0, nullptr, 0},
};

namespace {

// Static, so that exit() wipes whatever password was given.
Password password;
Password new_password;

// A closed standard stream would let the bus connection take its number,
// and data meant for the user would go to the daemon. Closed standard
// input reads as empty, and closed standard output stays unwritable.
void open_standard_streams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY);
    }
}

constexpr const char *kShortOptions = "ts:gc:d:l:u:m:i:hp:n:v";

// Where a wiped value was written right after its option letter
// ("-psecret"): one byte stays there, so that the parser still sees a
// value and reads the options exactly as given.
std::vector<char *> placeholders;

char *take_secret(char *argument, bool attached) {
    protect_process_memory();
    char *copy = g_strdup(argument);
    explicit_bzero(argument, strlen(argument));
    if (attached) {
        argument[0] = '*';
        placeholders.push_back(argument);
    }
    return copy;
}

// Keeps passwords out of the argument vector, where any user could read
// them in /proc or ps for the life of the request: every -p and -n value
// is copied and wiped before any command runs, even one that comes before
// them on the line. The last of each is the one a command uses.
void take_secrets(int argc, char **argv) {
    // The parser reorders the vector it reads; the real one is read later.
    std::vector<char *> scan(argv, argv + argc);
    opterr = 0;
    for (int option;
         (option = getopt_long(argc, scan.data(), kShortOptions, long_options, nullptr)) != -1;) {
        if (option != 'p' && option != 'n')
            continue;
        bool attached = std::find(argv, argv + argc, optarg) == argv + argc;
        (option == 'p' ? password : new_password).reset(take_secret(optarg, attached));
    }
    opterr = 1;
    optind = 0; // start afresh
}

void clear_placeholders() {
    for (char *placeholder : placeholders)
        *placeholder = '\0';
}

} // namespace

int main(int argc, char **argv) {
    int option_index = 0;
    int option_create = 0;
    int option_modify = 0;
    int option_unlock = 0;
    g_autofree char *keyname = nullptr;

    open_standard_streams();
    if (argc < 2)
        print_usage(argc > 0 ? argv[0] : nullptr);
    g_set_application_name("brassbox");
    take_secrets(argc, argv);

    for (;;) {
        int option = getopt_long(argc, argv, kShortOptions, long_options, &option_index);
        switch (option) {
        case -1:
            break;
        case 't':
            exit(keyring_list());
        case 's':
            exit(keyring_setdef(optarg));
        case 'g':
            exit(keyring_getdef());
        case 'd':
            exit(keyring_delete(optarg));
        case 'l':
            exit(keyring_lock(optarg));
        case 'i':
            exit(keyring_info(optarg));
        case 'c':
        case 'm':
        case 'u':
            option_create |= option == 'c';
            option_modify |= option == 'm';
            option_unlock |= option == 'u';
            g_free(keyname);
            keyname = g_strdup(optarg);
            continue;
        case 'p':
        case 'n':
            continue; // taken before the first command could run
        case 'v':
            print_version();
            exit(0);
        case 'h':
        case '?':
            print_usage(argv[0]);
        default:
            continue;
        }
        break;
    }
    clear_placeholders();

    if (option_create != 0)
        exit(keyring_create(keyname, password.get()));
    if (option_modify != 0)
        exit(keyring_modify(keyname, password.get(), new_password.get()));
    if (option_unlock != 0)
        exit(keyring_unlock(keyname, password.get()));

    fprintf(stderr, "keyring: unkown command -- %s.", shown(argv[1], stderr).c_str());
    print_usage(argv[0]);
}
