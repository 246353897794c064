#!/bin/bash
# Logins where nobody types a password, on a fresh Debian RELEASE booted in
# a container: LightDM's autologin into an X session on Xvfb (a bare one,
# and GNOME's on Xorg) and agetty's autologin on the console, brassbox
# installed from its package and the unit set up with brassbox-unlock setup
# as its manual says. At every boot, also with the unlock made a second
# slower: the session's first program, a program after
# graphical-session-pre.target and an XDG autostart entry find keyring
# login open; the console login's profile finds it open and never asks.
# secret-tool, python's keyring and git's libsecret helper work in the
# session without asking. Ends with 77 where the container cannot boot.
#   scripts/desktop-login.sh RELEASE [BOOTS]    (as root; BOOTS of each kind: 10)
set -eu
cd "$(dirname "$0")/.."
suite=${1:?usage: $0 RELEASE [BOOTS]} boots=${2:-10}
test="a login with no password typed"
packages=(lightdm lightdm-gtk-greeter xvfb xauth libpam-gnome-keyring gnome-session gdm3 gnome-session-xsession)
# shellcheck source=scripts/booted-debian.sh
. scripts/booted-debian.sh
home=$root/home/alice
in_chroot useradd -m -s /bin/bash alice || fail "no user"
at() { mkdir -p "$(dirname "$root$1")" && cat >"$root$1"; }

# LightDM as a container allows it: no DRM device (no graphical seat), an X
# server without VTs, no VT for logind. LightDM, not GDM, is the display
# manager, for GNOME's session too.
ln -sf /usr/lib/systemd/system/lightdm.service "$root/etc/systemd/system/display-manager.service"
echo /usr/sbin/lightdm >"$root/etc/X11/default-display-manager"
at /etc/lightdm/lightdm.conf.d/50-test.conf <<'EOF'
[LightDM]
logind-check-graphical=false
[Seat:*]
autologin-user=alice
autologin-session=test
xserver-command=/usr/local/bin/xvfb-for-lightdm
EOF
at /usr/local/bin/xvfb-for-lightdm <<'EOF'
#!/bin/sh
for arg; do shift; case $arg in vt[0-9]* | -novtswitch) ;; *) set -- "$@" "$arg" ;; esac; done
exec Xvfb "$@" -screen 0 1024x768x24
EOF
echo 'XDG_VTNR DEFAULT= OVERRIDE=' | at /etc/security/no-vt.conf
sed -i 's|^@include common-session|session required pam_env.so readenv=0 conffile=/etc/security/no-vt.conf\n&|' \
    "$root/etc/pam.d/lightdm-autologin"
# What each program finds, in a file of its name; the session's own first.
at /usr/local/bin/record <<'EOF'
#!/bin/sh
brassbox --info=login 2>&1 | head -n 1 >"$HOME/$1.part" && mv "$HOME/$1.part" "$HOME/$1"
EOF
at /usr/local/bin/test-session <<'EOF'
#!/bin/sh
record first
clients
exec sleep infinity
EOF
printf '[Desktop Entry]\nName=test\nExec=/usr/local/bin/test-session\nType=Application\n' |
    at /usr/share/xsessions/test.desktop
printf '[Desktop Entry]\nName=record\nExec=/usr/local/bin/record autostart\nType=Application\n' |
    at /home/alice/.config/autostart/record.desktop
# In GNOME, its autostart runs the clients.
at /usr/local/bin/clients <<'EOF'
#!/bin/sh
clients-work "session-$(date +%s%N)" >"$HOME/clients.part" 2>&1; echo "status $?" >>"$HOME/clients.part"
mv "$HOME/clients.part" "$HOME/clients"
EOF
printf '[Desktop Entry]\nName=clients\nExec=/usr/local/bin/clients\nType=Application\nOnlyShowIn=GNOME;\n' |
    at /home/alice/.config/autostart/clients.desktop
chmod 755 "$root"/usr/local/bin/*
# A session that systemd starts (GNOME's, on Wayland too), bound to
# graphical-session.target: started with the manager, so that only the
# unit's order comes between it and the unlock.
at /home/alice/.config/systemd/user/test-session.target <<'EOF'
[Unit]
BindsTo=graphical-session.target
Wants=graphical-session-pre.target after-pre.service xdg-desktop-autostart.target
After=graphical-session-pre.target
EOF
mkdir "$home"/.config/systemd/user/{default,graphical-session}.target.wants
ln -s ../test-session.target "$home/.config/systemd/user/default.target.wants/"
ln -s ../after-pre.service "$home/.config/systemd/user/graphical-session.target.wants/"
at /home/alice/.config/systemd/user/after-pre.service <<'EOF'
[Unit]
After=graphical-session-pre.target
[Service]
Type=oneshot
ExecStart=/usr/local/bin/record after-pre
EOF
# The console's autologin, off until its turn.
at /etc/systemd/system/console-getty.service.d/autologin.conf.off <<'EOF'
[Service]
ExecStart=
ExecStart=-/sbin/agetty --autologin alice --noreset --noclear --keep-baud 115200,57600,38400,9600 - ${TERM}
EOF
# The profile recipe, then what the console login finds after it: it asks
# there when the keyring is locked, and nobody answers.
{ cat "$root/usr/share/doc/brassbox/examples/profile.sh" && echo '[ ! -t 0 ] || record console'; } \
    >>"$home/.profile"
in_chroot chown -R alice: /home/alice

# Set up in her first session, at a terminal, as the manual says; no
# lingering, where the unit races the login.
boot
for _ in $(seq 100); do inside test -S /run/user/1000/bus && break; sleep 0.1; done
scripts/at-terminal.py 'pw,pw' nsenter -t "$leader" -a runuser -u alice -- env XDG_RUNTIME_DIR=/run/user/1000 \
    DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus brassbox-unlock setup >"$work/setup.log" || true
[ "$(inside loginctl show-user alice -p Linger --value)" = no ] || inside loginctl disable-linger alice
grep -q "is unlocked at every login" "$work/setup.log" || fail "set-up: $(cat "$work/setup.log")"
shut_down

# Until a program has written NAME, for at most 30 s.
appeared() { for _ in $(seq 300); do [ -e "$home/$1" ] && return; sleep 0.1; done; }
# found NAME...: each program found the keyring open at this boot.
found() {
    for name; do
        appeared "$name"
        [ "$(cat "$home/$name" 2>/dev/null)" = "Keyring locked : no" ] ||
            fail "$kind, boot $i$slow: $name found: $(cat "$home/$name" 2>/dev/null || echo nothing, in 30 s)"
    done
}
slowed=$home/.config/systemd/user/brassbox-unlock@.service.d/slow.conf
for kind in X GNOME console; do
    # GNOME's own session, larger and slower: a few boots. It starts
    # graphical-session.target itself.
    if [ $kind = GNOME ]; then
        sed -i 's/^autologin-session=.*/autologin-session=gnome-xorg/' "$root/etc/lightdm/lightdm.conf.d/50-test.conf"
        rm "$home/.config/systemd/user/default.target.wants/test-session.target"
    fi
    if [ $kind = console ]; then
        rm "$root/etc/systemd/system/display-manager.service"
        mv "$root"/etc/systemd/system/console-getty.service.d/autologin.conf{.off,}
    fi
    for slow in "" ", the unlock slowed"; do
        rm -f "$slowed"
        [ -z "$slow" ] || { mkdir -p "${slowed%/*}" && printf '[Service]\nExecStartPre=/bin/sleep 1\n' >"$slowed"; }
        for i in $(seq "$([ $kind = GNOME ] && echo 3 || echo "$boots")"); do
            rm -f "$home"/{first,after-pre,autostart,console,clients}
            boot
            case $kind in
            X) found first after-pre autostart ;;
            GNOME) found after-pre autostart && inside pgrep -u alice -x gnome-shell >/dev/null ||
                fail "GNOME, boot $i$slow: no gnome-shell" ;;
            console) found console ;;
            esac
            [ $kind = console ] || { appeared clients && grep -qx "status 0" "$home/clients"; } ||
                fail "$kind, boot $i$slow: the clients: $(cat "$home/clients" 2>/dev/null)"
            shut_down
        done
    done
done
echo "$test on Debian $suite: ok, $boots boots of each kind (GNOME 3), also slowed"
