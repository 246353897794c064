# Takes the set-up of keyring "login" back: the unit disabled and stopped
# (which locks the keyring), the stored password removed, the ~/.ssh/rc
# lines taken out. The keyring itself stays.
store=${XDG_CONFIG_HOME:-$HOME/.config}/brassbox/login
undone=""
if systemctl --user -q is-enabled brassbox-unlock@login.service 2>/dev/null; then
    systemctl --user disable --now brassbox-unlock@login.service && undone="$undone unit"
fi
for file in "$store.cred" "$store.password"; do
    [ ! -e "$file" ] || { rm -f "$file" && undone="$undone $file"; }
done
if grep -qs brassbox-unlock@ ~/.ssh/rc; then
    sed -i '/brassbox-unlock@/d' ~/.ssh/rc && undone="$undone ~/.ssh/rc"
    # An empty ~/.ssh/rc would still keep sshd from running xauth.
    [ -s ~/.ssh/rc ] || rm -f ~/.ssh/rc
fi
echo "Undone:${undone:- nothing, nothing was set up}"
[ "$(loginctl show-user "$USER" -p Linger --value 2>/dev/null)" != yes ] ||
    echo "Lingering stays on; to end it: loginctl disable-linger $USER"
