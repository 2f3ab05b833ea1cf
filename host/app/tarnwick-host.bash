# bash completion for tarnwick-host
_tarnwick_host()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --plugin | --trace)
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return
            ;;
        --host-dir | --data-dir | --game-root)
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            return
            ;;
        --exec)
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '--plugin --host-dir --data-dir --game-root --trace --exec
            --version --help' -- "$cur")
        return
    fi
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
} &&
    complete -o filenames -F _tarnwick_host tarnwick-host
