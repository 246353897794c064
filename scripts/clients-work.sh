#!/bin/sh
# clients-work.sh NAME: secret-tool and python's keyring (and git's libsecret
# credential helper, where it is installed) store a secret under NAME and
# read it back, through the session bus's keyring service. A prompt would
# stop them: with a time limit, they fail instead.
echo s3 | timeout 10 secret-tool store --label=t service t user "$1" &&
    [ "$(timeout 10 secret-tool lookup service t user "$1")" = s3 ] &&
    echo py | timeout 10 /usr/bin/python3 -m keyring set t "$1" &&
    [ "$(timeout 10 /usr/bin/python3 -m keyring get t "$1")" = py ] || exit 1
command -v git-credential-libsecret >/dev/null || exit 0
printf 'protocol=https\nhost=example.org\nusername=%s\npassword=g1\n' "$1" | timeout 10 git-credential-libsecret store >/dev/null &&
    printf 'protocol=https\nhost=example.org\nusername=%s\n' "$1" | timeout 10 git-credential-libsecret get |
    grep -qx password=g1
