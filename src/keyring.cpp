#include "keyring.h"

#include "prompt.h"
#include "usage.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

int exit_status = 0;

namespace {

constexpr const char *kPasswordPrompt = "Enter password for '%s' keyring: ";

gpointer tag(const char *word) {
    return const_cast<char *>(word);
}

bool tag_is(gpointer data, const char *word) {
    return data != nullptr && g_ascii_strcasecmp(static_cast<const char *>(data), word) == 0;
}

bool daemon_available() {
    if (gnome_keyring_is_available())
        return true;
    print_error(GNOME_KEYRING_RESULT_NO_KEYRING_DAEMON, "ERROR");
    return false;
}

// Runs one request in a fresh loop until its handler has quit it.
template <typename Send> int run_request(Send send) {
    // A second request in a run (after a look before the prompt): the
    // first one's loop is done with.
    g_clear_pointer(&loop, g_main_loop_unref);
    loop = g_main_loop_new(nullptr, FALSE);
    send();
    g_main_loop_run(loop);
    return exit_status;
}

int confirm(int status, const char *confirmation, const char *keyname) {
    if (status != 0)
        fprintf(stderr, confirmation, shown(keyname, stderr).c_str());
    return status;
}

// A change to a named keyring, confirmed with the name as typed.
template <typename Send>
int change_request(const char *keyname, const char *confirmation, Send send) {
    return daemon_available() ? confirm(run_request(send), confirmation, keyname) : 0;
}

// The data written to standard output is what a query was run for: if
// it cannot be written, the query failed.
int check_output(int status) {
    if (status != 0 && (fflush(stdout) != 0 || ferror(stdout) != 0)) {
        fprintf(stderr, "ERROR: Cannot write output: %s\n", g_strerror(errno));
        return 0;
    }
    return status;
}

void answer(int status) {
    exit_status = status;
    g_main_loop_quit(loop);
}

void fail(GnomeKeyringResult result) {
    print_error(result, "ERROR");
    answer(0);
}

void print_time(const char *label, time_t when) {
    struct tm local {};
    char buf[256];
    if (localtime_r(&when, &local) != nullptr &&
        strftime(buf, sizeof buf, "%F %T %z (%a, %d %b %Y)", &local) > 0)
        printf("%s%s\n", label, buf);
}

void callback__looked(GnomeKeyringResult result, gpointer data) {
    *static_cast<GnomeKeyringResult *>(data) = result;
    answer(1);
}

// Nobody is asked at a terminal for a password that could not matter: the
// keyring and the service are looked at first. The command's status when
// that settles it, else -1: ask. The request after the prompt is made all
// the same, so a keyring made or deleted meanwhile is still reported truly.
int settled_before_asking(const char *keyname, bool creating, const char *confirmation) {
    auto found = GNOME_KEYRING_RESULT_OK;
    run_request([&] {
        gnome_keyring_needs_password(keyname, creating ? TRUE : FALSE, callback__looked, &found,
                                     nullptr);
    });
    if (found == GNOME_KEYRING_RESULT_OK)
        return -1;
    if (found == GNOME_KEYRING_RESULT_ALREADY_UNLOCKED)
        return confirm(1, confirmation, keyname);
    print_error(found, "ERROR");
    return 0;
}

template <typename Send>
int password_request(const char *keyname, const char *password, bool creating,
                     const char *confirmation, Send send) {
    if (!daemon_available())
        return 0;
    PasswordSource source(password);
    if (source.asks_at_terminal()) {
        int settled = settled_before_asking(keyname, creating, confirmation);
        if (settled >= 0)
            return settled;
    }
    Password typed;
    const char *pass = ask__password(keyname, source, kPasswordPrompt, typed);
    if (pass == nullptr)
        return 0;
    return confirm(run_request([&] { send(pass); }), confirmation, keyname);
}

} // namespace

void callback__done(GnomeKeyringResult result, gpointer /*data*/) {
    if (result != GNOME_KEYRING_RESULT_OK)
        return fail(result);
    answer(1);
}

void callback__get_list(GnomeKeyringResult result, GList *list, gpointer data) {
    if (result != GNOME_KEYRING_RESULT_OK)
        return fail(result);
    if (tag_is(data, "list"))
        g_list_foreach(list, foreach__get_keyring, data);
    answer(1);
}

void foreach__get_keyring(gpointer data, gpointer user_data) {
    if (data != nullptr && tag_is(user_data, "list"))
        printf("%s\n", shown(static_cast<const char *>(data), stdout).c_str());
}

void callback__get_str(GnomeKeyringResult result, const char *string, gpointer data) {
    if (result != GNOME_KEYRING_RESULT_OK)
        return fail(result);
    // No default keyring: nothing to say, and nothing was shown.
    if (string == nullptr)
        return answer(0);
    if (tag_is(data, "getdef"))
        printf("%s\n", shown(string, stdout).c_str());
    answer(1);
}

void callback__get_info(GnomeKeyringResult result, GnomeKeyringInfo *info, gpointer data) {
    if (result != GNOME_KEYRING_RESULT_OK)
        return fail(result);
    if (tag_is(data, "info")) {
        time_t created = gnome_keyring_info_get_ctime(info);
        time_t modified = gnome_keyring_info_get_mtime(info);
        printf("Keyring locked : %s\n", gnome_keyring_info_get_is_locked(info) ? "yes" : "no");
        printf("Auto lock on idle : %s\n",
               gnome_keyring_info_get_lock_on_idle(info) ? "yes" : "no");
        printf("Auto lock idle timeout : %u (in sec)\n", gnome_keyring_info_get_lock_timeout(info));
        print_time("Keyring created on : ", created);
        print_time("Keyring modified on : ", modified);
    }
    answer(1);
}

int keyring_list() {
    if (!daemon_available())
        return 0;
    return check_output(run_request(
        [] { gnome_keyring_list_keyring_names(callback__get_list, tag("list"), nullptr); }));
}

int keyring_getdef() {
    if (!daemon_available())
        return 0;
    return check_output(run_request(
        [] { gnome_keyring_get_default_keyring(callback__get_str, tag("getdef"), nullptr); }));
}

int keyring_setdef(const char *keyname) {
    return change_request(keyname, "Set '%s' keyring as default.\n", [=] {
        gnome_keyring_set_default_keyring(keyname, callback__done, tag("setdef"), nullptr);
    });
}

int keyring_info(const char *keyname) {
    if (!daemon_available())
        return 0;
    tzset();
    return check_output(run_request(
        [=] { gnome_keyring_get_info(keyname, callback__get_info, tag("info"), nullptr); }));
}

int keyring_lock(const char *keyname) {
    return change_request(keyname, "Locked '%s' keyring.\n", [=] {
        gnome_keyring_lock(keyname, callback__done, tag("lock"), nullptr);
    });
}

int keyring_delete(const char *keyname) {
    return change_request(keyname, "Deleted '%s' keyring.\n", [=] {
        gnome_keyring_delete(keyname, callback__done, tag("delete"), nullptr);
    });
}

int keyring_create(const char *keyname, const char *password) {
    return password_request(
        keyname, password, true, "Created '%s' keyring.\n", [=](const char *pass) {
            gnome_keyring_create(keyname, pass, callback__done, tag("create"), nullptr);
        });
}

int keyring_unlock(const char *keyname, const char *password) {
    return password_request(
        keyname, password, false, "Unlocked '%s' keyring.\n", [=](const char *pass) {
            gnome_keyring_unlock(keyname, pass, callback__done, tag("unlock"), nullptr);
        });
}

int keyring_modify(const char * /*keyname*/, const char * /*password*/,
                   const char * /*new_password*/) {
    print_error(10, "WARNING");
    return 1;
}

const char *ask__password(const char *keyring, PasswordSource &source, const char *prompt_str,
                          Password &typed) {
    // The terminal shows the name as it shows it everywhere: escaped.
    g_autofree char *prompt = source.asks_at_terminal()
                                  ? g_strdup_printf(prompt_str, escape_controls(keyring).c_str())
                                  : nullptr;
    return source.password(prompt, typed);
}
