# Once, as yourself: keyring "login" made with a password typed twice (or,
# when it exists, its password asked once and checked), made the default,
# and the password kept where the unit reads it, encrypted for you on this
# machine where systemd can (Debian 13 on), else in a file only you can
# read. Run it again to store the keyring's new password.
set -eu
# Status 1 is brassbox's success; setsid -w: the password comes from the
# pipe, not from the terminal.
brassbox_ok() { status=0; setsid -w brassbox "$@" || status=$?; [ "$status" -eq 1 ]; }
store=${XDG_CONFIG_HOME:-$HOME/.config}/brassbox/login
mkdir -p "${store%/*}" && chmod 700 "${store%/*}"
password=$(systemd-ask-password "Password of keyring login:")
if brassbox_ok --info=login >/dev/null 2>&1; then
    # An open keyring takes any password: locked, it must open with this one.
    # A wrong one stores nothing, and the unit opens it again with the old.
    brassbox_ok --lock=login 2>/dev/null || { echo "Keyring login cannot be locked to check it." >&2; exit 1; }
    if ! printf '%s\n' "$password" | brassbox_ok --unlock=login 2>/dev/null; then
        systemctl --user reload brassbox-unlock@login.service 2>/dev/null || echo "Keyring login is locked now." >&2
        echo "That is not the password of keyring login: nothing stored." >&2
        exit 1
    fi
else
    [ "$password" = "$(systemd-ask-password "Again:")" ] || { echo "They differ." >&2; exit 1; }
    printf '%s\n' "$password" | brassbox_ok --create=login
fi
brassbox_ok --setdef=login
if printf '%s' "$password" | systemd-creds --user encrypt --name=brassbox-unlock - "$store.cred" 2>/dev/null; then
    rm -f "$store.password"
else
    (umask 077 && printf '%s\n' "$password" >"$store.password")
fi
# Unlock it now and at every login; it is locked again when your last session ends:
systemctl --user enable brassbox-unlock@login.service
systemctl --user restart brassbox-unlock@login.service
# Over SSH, the login's first command waits until the unit is done, finds
# a keyring locked since then unlocked again, and is told when it is not:
mkdir -p -m 700 ~/.ssh && touch ~/.ssh/rc && sed -i '/brassbox-unlock@/d' ~/.ssh/rc
cat >>~/.ssh/rc <<'EOF'
systemctl --user reload-or-restart "brassbox-unlock@*" 2>/dev/null ||
    echo "brassbox: a keyring was not unlocked; why: systemctl --user status 'brassbox-unlock@*'" >&2
EOF
# On a server, unlock it at boot, before anybody logs in (where polkit does
# not let you without a password, root can):
loginctl --no-ask-password enable-linger "$USER" 2>/dev/null || echo "Ask root for: loginctl enable-linger $USER" >&2
