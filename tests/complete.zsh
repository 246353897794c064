#!/bin/zsh -f
# complete.zsh FPATH_DIR LINE: the candidates zsh's completion system offers
# at the end of LINE, one per line, from an interactive zsh on a
# pseudo-terminal with FPATH_DIR first in its fpath.
zmodload zsh/zpty || exit 2
setup=$(mktemp) || exit 2
trap 'rm -f $setup' EXIT
# Each match a completion function adds is printed, marked, instead of
# being added; the end of the attempt prints a marker of its own.
cat >$setup <<SETUP
PROMPT=''
fpath=(${(q)1} \$fpath)
autoload -Uz compinit && compinit -u -D
compadd() {
    if (( \${@[(I)-[OAD]]} )); then builtin compadd "\$@"; return; fi
    local -a found
    builtin compadd -O found "\$@"
    print -rl -- \${^found/#/candidate:}
}
completion-done() { print -r -- completion:done; exit }
comppostfuncs=(completion-done)
bindkey '^I' complete-word
print -r -- setup:done
SETUP
zpty shell zsh -f -i
zpty -w shell ". ${(q)setup}"
zpty -r shell line '*setup:done*' || exit 2
zpty -w -n shell "$2"$'\t'
while zpty -r shell line; do
    line=${line%$'\n'}
    line=${line%$'\r'}
    [[ $line == *completion:done* ]] && break
    [[ $line == *candidate:* ]] && print -r -- ${line#*candidate:}
done
zpty -d shell
