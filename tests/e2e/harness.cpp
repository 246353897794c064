#include "harness.h"

#include <algorithm>
#include <cstdlib>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const kMessages[] = {
    "",
    "Access to keyring denied\n",
    "The gnome-keyring-daemon application is not running\n",
    "The keyring has already been unlocked.\n",
    "A keyring with that name does not exist.\n",
    "Programmer error: The application sent invalid data.\n",
    "Error communicating with gnome-keyring-daemon\n",
    "User interupted\n",
    "A keyring with that name already exists\n",
};

std::string text_of(GBytes *bytes) {
    if (bytes == nullptr)
        return {};
    gsize size = 0;
    const auto *data = static_cast<const char *>(g_bytes_get_data(bytes, &size));
    return {data, size};
}

} // namespace

std::string error_line(int code) {
    return std::string("ERROR: ") + kMessages[code];
}

Run spawn(const std::vector<std::string> &args, const Launch &launch) {
    g_autoptr(GSubprocessLauncher) launcher =
        g_subprocess_launcher_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE |
                                                                G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                                G_SUBPROCESS_FLAGS_STDERR_PIPE));
    // A session of its own: no controlling terminal, as in a script.
    g_subprocess_launcher_set_child_setup(
        launcher, [](gpointer) { setsid(); }, nullptr, nullptr);
    for (const auto &[name, value] : launch.env)
        g_subprocess_launcher_setenv(launcher, name.c_str(), value.c_str(), TRUE);
    for (const auto &name : launch.unset)
        g_subprocess_launcher_unsetenv(launcher, name.c_str());
    if (!launch.cwd.empty())
        g_subprocess_launcher_set_cwd(launcher, launch.cwd.c_str());

    std::vector<const char *> argv;
    for (const auto &arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);

    g_autoptr(GError) error = nullptr;
    g_autoptr(GSubprocess) process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
    if (process == nullptr) {
        ADD_FAILURE() << error->message;
        return {};
    }
    g_autoptr(GBytes) input = g_bytes_new(launch.input.data(), launch.input.size());
    g_autoptr(GBytes) out = nullptr;
    g_autoptr(GBytes) err = nullptr;
    if (!g_subprocess_communicate(process, input, nullptr, &out, &err, &error))
        ADD_FAILURE() << error->message;
    Run run;
    run.out = text_of(out);
    run.err = text_of(err);
    run.status = g_subprocess_get_if_exited(process) ? g_subprocess_get_exit_status(process)
                                                     : -g_subprocess_get_term_sig(process);
    return run;
}

Run brassbox(const std::vector<std::string> &args, const Launch &launch) {
    std::vector<std::string> argv{launch.argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(argv, launch);
}

Run shell(const std::string &script, const Launch &launch) {
    Launch with_binary = launch;
    with_binary.env.emplace_back("BRASSBOX", BRASSBOX_BIN);
    return spawn({"/bin/sh", "-c", script}, with_binary);
}

std::vector<std::string> keyring_names() {
    auto run = brassbox({"--list"});
    EXPECT_EQ(run.status, 1) << run.err;
    std::vector<std::string> names;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        names.push_back(line);
    std::sort(names.begin(), names.end());
    return names;
}

std::string keyrings_dir() {
    return std::string(getenv("XDG_DATA_HOME")) + "/keyrings";
}

bool exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

pid_t daemon_pid() {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID", g_variant_new("(s)", "org.freedesktop.secrets"),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    if (reply == nullptr) {
        ADD_FAILURE() << error->message;
        return -1;
    }
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    return static_cast<pid_t>(pid);
}
