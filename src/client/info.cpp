#include "info.h"

gboolean gnome_keyring_info_get_is_locked(const GnomeKeyringInfo *info) {
    return info->locked;
}
gboolean gnome_keyring_info_get_lock_on_idle(const GnomeKeyringInfo *info) {
    return info->lock_on_idle;
}
guint32 gnome_keyring_info_get_lock_timeout(const GnomeKeyringInfo *info) {
    return info->lock_timeout;
}
time_t gnome_keyring_info_get_ctime(const GnomeKeyringInfo *info) {
    return info->ctime;
}
time_t gnome_keyring_info_get_mtime(const GnomeKeyringInfo *info) {
    return info->mtime;
}
