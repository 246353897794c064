# From another machine: the command has no terminal on the server, so the
# password is read as one line of standard input, which ps never shows.
ssh server brassbox --unlock=login <~/.config/brassbox/login.password
# On the server, in a script that may run at a terminal: setsid -w takes the
# terminal away, or brassbox would ask there and leave the file unread.
setsid -w brassbox --unlock=login <~/.config/brassbox/login.password
