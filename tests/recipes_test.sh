#!/bin/bash
# Each recipe of examples/ (the README's and the manual page's, word for word)
# run as written on a private daemon; then secret-tool and python's keyring
# must work without asking. --unit: the package's unit under a real user
# manager, as root in a mount namespace; 77 where none can run. With
# BIN_DIR /usr/bin, the installed package's binary and recipes are tested,
# and the unit without a PACKAGE is the installed one.
#   recipes_test.sh SOURCE_DIR BIN_DIR [--unit [PACKAGE.deb]]
set -u
source=$1 build=$2 mode=${3:-}
examples=$source/examples
[ "$build" != /usr/bin ] || examples=/usr/share/doc/brassbox/examples
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "NOT TESTED: the unit: $*"; exit 77; }
locked() { brassbox -i "$1" 2>/dev/null | grep -qx "Keyring locked : $2"; }
# A keyring with this password, the default, locked.
make_keyring() { echo "$2" | brassbox -c "$1"; brassbox -s "$1"; brassbox -l "$1"; } 2>/dev/null
clients_work() { "$source/scripts/clients-work.sh" "$1" || fail "$1: the clients failed"; }
# COMMAND at a terminal of its own, ANSWER typed once it asks.
at_terminal() { "$source/scripts/at-terminal.py" "$@"; }
case $mode in
"")
    page=$(LC_ALL=C nroff -man -Tascii "$source/doc/brassbox.1" 2>/dev/null)
    /usr/bin/python3 - "$source" "$examples" "$page" <<'PY' || fail "README or manual page differs from $examples"
import pathlib, sys
top, lines = pathlib.Path(sys.argv[1]), lambda text: {line.strip() for line in text.splitlines()}
for recipe in pathlib.Path(sys.argv[2]).glob("*.sh"):
    assert "```sh\n" + recipe.read_text() + "```" in (top / "README.md").read_text(), recipe.name
    assert lines(recipe.read_text()) <= lines(sys.argv[3]) | {""}, recipe.name
PY
    # The CI recipe starts a bus and a daemon of its own.
    for recipe in profile ssh ci lock-all; do
        no_daemon=
        [ "$recipe" != ci ] || no_daemon=--no-daemon
        PATH=$build:$PATH "$source/scripts/private-keyring.sh" ${no_daemon:+"$no_daemon"} \
            "$0" "$source" "$build" "$recipe" || exit 1
    done
    ;;
profile)
    make_keyring login pw
    # Without a terminal (bash reads it for ssh host cmd) the input is not its.
    profile=". '$examples/profile.sh'"
    [ "$(echo kept | sh -c "$profile; cat")" = kept ] && locked login yes || fail "profile: took input"
    at_terminal pw sh -c "$profile" | grep -q "Unlocked 'login'" || fail "profile: not unlocked"
    [ -z "$(at_terminal pw sh -c "$profile")" ] || fail "profile: asked for an open keyring"
    clients_work profile
    ;;
ssh)
    # ssh runs the command on the server without a terminal.
    mkdir -p "$HOME/bin" "$HOME/.config/brassbox" && echo pw >"$HOME/.config/brassbox/login.password"
    printf '#!/bin/sh\nshift\nexec setsid -w sh -c "$*"\n' >"$HOME/bin/ssh" && chmod +x "$HOME/bin/ssh"
    make_keyring login pw
    grep -v '^#' "$examples/ssh.sh" | while IFS= read -r line; do
        brassbox -l login 2>/dev/null
        PATH=$HOME/bin:$PATH at_terminal wrong sh -c "$line" >/dev/null
        locked login no || fail "ssh: $line"
    done
    clients_work ssh
    ;;
ci)
    # Twice: made on the first run; unlocked on the second, made the default
    # again after another keyring, locked by then, was.
    for run in made unlocked; do
        KEYRING_PASSWORD=pw sh "$examples/ci.sh" "$0" "$source" "$build" --ci "$run" || fail "ci: $run"
    done
    # Without it: nothing kept for the keyring, nothing made up; then the password the unit keeps.
    kept=${XDG_CONFIG_HOME:-$HOME/.config}/brassbox/login.password
    [ "$(sh "$examples/ci.sh" true 2>&1 | grep -v "Failed to set fd limit")" = "ci.sh: keyring 'login' exists, and no password is kept for it: set \
KEYRING_PASSWORD to its password" ] && [ ! -e "$kept" ] || fail "ci: a keyring without its password"
    mkdir -p "${kept%/*}" && echo pw >"$kept" && sh "$examples/ci.sh" "$0" "$source" "$build" --ci kept || fail "ci: kept"
    ;;
--ci)
    daemon=$(busctl --user status org.freedesktop.secrets | sed -n 's/^PID=//p')
    [ -z "${KEYRING_PASSWORD+set}" ] && ! grep -qa KEYRING_PASSWORD "/proc/$daemon/environ" || fail "ci: the variable kept"
    clients_work "ci-$4"; { echo pw | brassbox -c other; brassbox -s other; } 2>/dev/null || true ;;
lock-all)
    for keyring in a b; do echo pw | brassbox -c $keyring; done 2>/dev/null
    sh "$examples/lock-all.sh" 2>/dev/null
    locked a yes && locked b yes || fail "lock-all: not every keyring locked"
    ;;
--unit)
    [ "$(id -u)" -eq 0 ] || skip "a user manager runs here as root only"
    [ -x /usr/lib/systemd/systemd ] && unshare -m true 2>/dev/null || skip "no systemd, or no namespace"
    work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
    [ -z "${4:-}" ] || dpkg -x "$4" "$work/package" || fail "no package: $4"
    unshare -m "$0" "$source" "$build" --in-namespace "$work"
    ;;
--in-namespace)
    # The package over /usr (unless installed), a home and runtime folder of the test's
    # own, an empty /run/systemd/system (systemd runs the system), no journal: the log in a file.
    work=$4 log=$4/log examples=/usr/share/doc/brassbox/examples
    dropin=$work/home/.config/systemd/user/brassbox-unlock@.service.d
    mkdir -p "$dropin" "$work/run" "$work/bin" && chmod 700 "$work/run"
    printf '[Service]\nStandardOutput=append:%s\nStandardError=append:%s\n' "$log" "$log" >"$dropin/log.conf"
    # A chroot has no /sys; systemd 256 and later need cgroup2 there.
    [ -d /sys/fs/cgroup ] || { mount -t sysfs sysfs /sys && mount -t cgroup2 cgroup2 /sys/fs/cgroup; }
    { [ ! -d "$work/package" ] || mount -t overlay overlay -o "lowerdir=$work/package/usr:/usr" /usr; } &&
        mount --bind "$work/home" /root &&
        mkdir -p /run/systemd && mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/system || fail mounts
    export HOME=/root XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=/root/.config XDG_DATA_HOME=/root/.data
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/run/bus USER=${USER:-$(id -un)}
    # The manager takes every process of its cgroup into its scope: it gets one to itself.
    cgroup=brassbox-${work##*/}
    (for h in /sys/fs/cgroup /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
        [ ! -e "$h/cgroup.procs" ] || { mkdir "$h/$cgroup" && echo $BASHPID >"$h/$cgroup/cgroup.procs"; } || exit
    done && exec /usr/lib/systemd/systemd --user >"$work/manager.log" 2>&1) &
    trap 'systemctl --user exit 2>/dev/null; wait
        find /sys/fs/cgroup -depth -type d -path "*/$cgroup*" -exec rmdir {} + 2>/dev/null' EXIT
    timeout 10 sh -c 'until systemctl --user is-system-running | grep -qE "running|degraded"; do sleep 0.1; done' \
        2>/dev/null || { tail -n 5 "$work/manager.log"; skip "no user manager"; }
    # loginctl needs the system's logind, which does not run here.
    printf '#!/bin/sh\necho "$@" >%s/linger\n' "$work" >"$work/bin/loginctl" && chmod +x "$work/bin/loginctl"
    make_keyring login right
    brassbox-unlock setup login more 2>/dev/null
    [ $? -eq 2 ] && [ "$(brassbox-unlock 2>&1)" = "$(brassbox-unlock --help)" ] || fail "unit: a wrong command line"
    [ "$(brassbox-unlock change nosuch 2>&1 </dev/null)" = "brassbox-unlock: keyring 'nosuch' does not exist: \
brassbox-unlock setup 'nosuch' makes it" ] || fail "unit: change of a keyring that does not exist"
    # Where the password cannot be kept, it is not asked for.
    config=$HOME/.config/brassbox && mkdir -p "$config" && mount --bind "$config" "$config" &&
        mount -o remount,ro,bind "$config" || fail "no read-only mount"
    [ "$(brassbox-unlock setup </dev/null 2>&1)" = "brassbox-unlock: $config cannot be written (a read-only home?): \
nothing stored" ] || fail "unit: a read-only store"
    umount "$config"
    # An encrypted store another user or machine made is replaced.
    echo junk >"$config/login.cred" && mkdir -p ~/.ssh ~/dotfiles && printf '# mine' >~/.ssh/rc &&
        printf '# mine' >~/dotfiles/profile && ln -s dotfiles/profile ~/.profile
    # Set up twice: each line once, the user's lines as they were.
    for _ in 1 2; do PATH=$work/bin:$PATH at_terminal right brassbox-unlock setup >/dev/null; done
    wait_line=$(head -n 1 ~/.xsessionrc)
    [ "$(cat ~/.xsessionrc)" = "$wait_line" ] && [ -L ~/.profile ] && [ "$(cat ~/.profile)" = "$wait_line
# mine" ] || fail "unit: the login files"
    store=$config/login file=$config/login.password
    { [ -e "$store.cred" ] || [ "$(stat -c %a "$file")" = 600 ]; } && ! grep -qs junk "$store.cred" &&
        [ "$(cat "$work/linger")" = "--no-ask-password enable-linger $USER" ] &&
        locked login no && systemctl --user -q is-enabled brassbox-unlock@login || fail "unit: not set up"
    clients_work unit
    # Run again, or changed, with a wrong password: nothing stored, and the keyring open again.
    kept=$(cat "$store".* | sha256sum)
    for verb in setup change; do
        PATH=$work/bin:$PATH at_terminal wrong brassbox-unlock $verb |
            grep -q "that is not the password of keyring 'login': nothing stored" &&
            [ "$(cat "$store".* | sha256sum)" = "$kept" ] && locked login no || fail "unit: a wrong password at $verb"
    done
    # No manager, no daemon: the wait says nothing, the lock is harmless.
    nothing="XDG_RUNTIME_DIR=/nonexistent DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"
    said="" && [ -z "$(env $nothing brassbox-unlock wait 2>&1)" ] && said=$(env $nothing brassbox-unlock lock login 2>&1) &&
        [[ $said == *harmless ]] || fail "unit: wait or lock with nothing running: $said"
    { echo '# mine' && sed -n '/^# brassbox-unlock: from here/,/^# brassbox-unlock: end/p' "$source/README.md"; } |
        cmp -s - ~/.ssh/rc || fail "unit: ~/.ssh/rc is not the user's line and the README's"
    # A login's ~/.ssh/rc unlocks again what was locked since; a failure is said.
    brassbox -l login 2>/dev/null; : >"$log"
    sh ~/.ssh/rc && locked login no && ! grep -q Locked "$log" || fail "rc: not unlocked again, or locked first"
    # The file from here on, where systemd could encrypt it.
    rm -f "$store.cred" && (umask 077 && echo right >"$file")
    systemctl --user stop brassbox-unlock@login && locked login yes || fail "unit: not locked at stop"
    # fails INSTANCE LINE: the unit does not start, and its log says why. (Each
    # attempt afresh: systemd allows five starts of a unit in ten seconds.)
    fails() {
        : >"$log" && systemctl --user reset-failed && ! systemctl --user start "brassbox-unlock@$1" 2>/dev/null &&
            grep -qF "$2" "$log" ||
            fail "unit $1: $(cat "$log")"
    }
    echo wrong >"$file" && fails login "is not its password; store the right one (brassbox-unlock change)"
    fails nosuch "nosuch.password does not exist: keep the password of keyring 'nosuch' there"
    : >"$file" && fails login "is empty"
    printf 'right\r\n' >"$file" && fails login "holds a carriage return"
    printf 'ri\000ght\n' >"$file" && fails login "holds a NUL byte"
    printf 'right\nmore\n' >"$file" && fails login "holds more than one line"
    echo right >"$file" && chmod 604 "$file" && fails login "can be read by every user: not used"
    chmod 602 "$file" && fails login "can be changed by every user: not used"
    rm "$file" && mkfifo -m 600 "$file" && fails login "is not a regular file"
    rm "$file" && ln -s /dev/zero "$file" && fails login "is not a regular file"
    # systemd 256 and later decrypt a user's own credentials; before, none.
    decrypts="cannot be decrypted here" && [ "$(systemctl --version | awk 'NR == 1 { print $2 }')" -ge 256 ] ||
        decrypts="is encrypted for systemd-creds --user, which this systemd (before 256) lacks"
    rm "$file" && echo junk >"$store.cred" && fails login "$store.cred $decrypts"
    rm "$store.cred" && (umask 077 && echo wrong >"$file") && brassbox -l login 2>/dev/null
    [ "$(sh ~/.ssh/rc 2>&1)" = "brassbox: a keyring was not unlocked; why: systemctl --user status 'brassbox-unlock@*'" ] ||
        fail "rc: silent"
    # Two at once, with the daemon gone: the bus starts it.
    echo right >"$file" && chmod 660 "$file" && : >"$log" && make_keyring work other
    (umask 077 && echo other >"$HOME/.config/brassbox/work.password")
    kill "$(busctl --user status org.freedesktop.secrets | sed -n 's/^PID=//p')" && systemctl --user reset-failed
    systemctl --user start brassbox-unlock@login brassbox-unlock@work && locked login no &&
        locked work no && grep -q "can be read by its group" "$log" && grep -q "can be changed by its group" "$log" ||
        fail "unit: two at once: $(cat "$log")"
    ! grep -qwE "right|other" "$log" || fail "unit: a password in the log"
    # The state at a glance, both forms there; the set-up undone, and undone again.
    echo junk >"$store.cred"
    case $(brassbox-unlock state) in
    "unit: brassbox-unlock@login.service, enabled, active"*"password: $store.cred, encrypted"*"password: $file also, in \
plain text and not used: remove it"*"password: $store.cred $decrypts"*"keyring: Keyring locked : no"*) ;;
    *) fail "unit: state: $(brassbox-unlock state)" ;;
    esac
    # ~/.ssh/rc serves the other keyring's unit while it is enabled.
    systemctl --user -q enable brassbox-unlock@work
    [ "$(brassbox-unlock undo)" = "Undone: unit $store.cred $file" ] && [ ! -e "$file" ] && [ -e ~/.ssh/rc ] &&
        [ "$(brassbox-unlock undo work)" = "Undone: unit $config/work.password $HOME/.ssh/rc $HOME/.profile \
$HOME/.xsessionrc" ] && [ -L ~/.profile ] && [ "$(cat ~/.ssh/rc ~/.profile)" = "# mine
# mine" ] && [ ! -e ~/.xsessionrc ] &&
        locked login yes && [ "$(brassbox-unlock undo)" = "Undone: nothing, nothing was set up" ] &&
        [ "$(brassbox-unlock state | head -n 2)" = "unit: brassbox-unlock@login.service, disabled: not set up \
(brassbox-unlock setup)
password: $file does not exist: keep the password of keyring 'login' there (brassbox-unlock setup)" ] ||
        fail "unit: undo"
    ;;
esac
