# Lock every keyring: in ~/.bash_logout, or before a suspend. The in-memory
# "session" keyring cannot be locked, and holds nothing kept on disk.
brassbox --list | while IFS= read -r keyring; do
    [ "$keyring" = session ] || brassbox --lock="$keyring"
done
