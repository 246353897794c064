#!/bin/sh
# Installs what is missing, builds brassbox, and runs it against a
# throwaway private keyring daemon: your own keyrings are never touched.
#   scripts/try.sh             a short tour
#   scripts/try.sh ARGS...     brassbox ARGS
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build-try -DBRASSBOX_TESTS=OFF >/dev/null
cmake --build build-try -j"$(nproc)" --target brassbox >/dev/null

if [ $# -gt 0 ]; then
    exec scripts/private-keyring.sh build-try/brassbox "$@"
fi

exec scripts/private-keyring.sh sh -c '
    step() {
        printf "\n$ brassbox %s\n" "$*"
        build-try/brassbox "$@"
        echo "(exit status $?)"
    }
    step --list
    step --create=work -p secret
    step --setdef=work
    step --getdef
    step --lock=work
    step --info=work
    step --unlock=work -p wrong
    step --unlock=work -p secret
    step --delete=work
    step --list
' 2>&1
