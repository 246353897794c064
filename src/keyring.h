// The keyring commands. Each sends at most one request and returns the
// command status: 1 when it succeeded, 0 when it failed.
#pragma once

#include "client/gnome-keyring.h"
#include "prompt.h"

#include <glib.h>

// The loop of the request in flight, and what its handler found.
extern GMainLoop *loop;
extern int exit_status;

int keyring_list();
int keyring_getdef();
int keyring_setdef(const char *keyname);
int keyring_info(const char *keyname);
int keyring_create(const char *keyname, const char *password);
int keyring_unlock(const char *keyname, const char *password);
int keyring_lock(const char *keyname);
int keyring_delete(const char *keyname);
int keyring_modify(const char *keyname, const char *password, const char *new_password);

void callback__done(GnomeKeyringResult result, gpointer data);
void callback__get_list(GnomeKeyringResult result, GList *list, gpointer data);
void foreach__get_keyring(gpointer data, gpointer user_data);
void callback__get_str(GnomeKeyringResult result, const char *string, gpointer data);
void callback__get_info(GnomeKeyringResult result, GnomeKeyringInfo *info, gpointer data);

// The password to use: the one given, else one read, at a terminal after
// the prompt for the keyring, which typed keeps and wipes; null when none
// was obtained.
const char *ask__password(const char *keyring, PasswordSource &source, const char *prompt_str,
                          Password &typed);
