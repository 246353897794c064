# fish completion for brassbox: its options, and keyring names from
# `brassbox --list` for the options that take one.
set -l keyrings '(brassbox --list 2>/dev/null)'
complete -c brassbox -f
complete -c brassbox -s t -l list -d 'List the keyring names'
complete -c brassbox -s g -l getdef -d 'Print the name of the default keyring'
complete -c brassbox -s s -l setdef -x -a $keyrings -d 'Make a keyring the default'
complete -c brassbox -s c -l create -x -d 'Create a keyring'
complete -c brassbox -s d -l delete -x -a $keyrings -d 'Delete a keyring'
complete -c brassbox -s l -l lock -x -a $keyrings -d 'Lock a keyring'
complete -c brassbox -s u -l unlock -x -a $keyrings -d 'Unlock a keyring'
complete -c brassbox -s m -l modify -x -a $keyrings -d 'Change the password (not supported)'
complete -c brassbox -s i -l info -x -a $keyrings -d 'Show the lock state and times'
complete -c brassbox -s p -x -d 'The password'
complete -c brassbox -s n -x -d 'The new password'
complete -c brassbox -s h -l help -d 'Show the usage text'
complete -c brassbox -s v -l version -d 'Show the version'
