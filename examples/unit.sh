# Keep the password of keyring "login" where the unit reads it, for you alone:
mkdir -p ~/.config/brassbox && chmod 700 ~/.config/brassbox
(umask 077 && systemd-ask-password "Password of keyring login:" >~/.config/brassbox/login.password)
# Unlock it now and at every login; it is locked again when your last session ends:
systemctl --user enable --now brassbox-unlock@login.service
# On a server, unlock it at boot, before anybody logs in:
loginctl enable-linger "$USER"
