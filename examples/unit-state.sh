# The set-up of keyring "login" at a glance: the unit, the stored password
# and its form, the unit's last word, the keyring, lingering.
store=${XDG_CONFIG_HOME:-$HOME/.config}/brassbox/login
unit=brassbox-unlock@login.service
echo "unit: $(systemctl --user is-enabled "$unit" 2>/dev/null || echo not set up)," \
    "$(systemctl --user is-active "$unit" 2>/dev/null)"
if [ -e "$store.cred" ]; then
    echo "password: $store.cred, encrypted for you on this machine"
elif [ -e "$store.password" ]; then
    echo "password: $store.password, mode $(stat -L -c %a "$store.password")"
else
    echo "password: not stored"
fi
last=$(journalctl --user -q -u "$unit" -n 1 -o cat 2>/dev/null)
echo "last: ${last:-nothing in the journal you can read}"
echo "keyring: $(brassbox --info=login 2>&1 | head -n 1)"
echo "lingering: $(loginctl show-user "$USER" -p Linger --value 2>/dev/null || echo unknown)"
