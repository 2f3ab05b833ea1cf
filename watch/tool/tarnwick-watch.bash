# bash completion for tarnwick-watch
_tarnwick_watch()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '--json --help' -- "$cur")
        return
    fi
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
} &&
    complete -o filenames -F _tarnwick_watch tarnwick-watch
