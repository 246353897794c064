# In ~/.profile: at a login over SSH or on a console, unlock the login
# keyring once, asking for its password only at a terminal and only while
# the keyring is locked.
if [ -t 0 ] && command -v brassbox >/dev/null 2>&1 &&
    brassbox --info=login 2>/dev/null | grep -qx 'Keyring locked : yes'; then
    brassbox --unlock=login
fi
