# bash completion for tarnwick-watch
_tarnwick_watch()
{
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    local kinds='added removed modified renamed_old_name renamed_new_name overflow'
    case $prev in
        -e | --event)
            # A comma-separated list: complete its last kind.
            local done=${cur%"${cur##*,}"}
            mapfile -t COMPREPLY < <(compgen -P "$done" -W "$kinds" -- "${cur##*,}")
            return
            ;;
        --exclude | --include | -t | --timeout | --format)
            COMPREPLY=()
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-e --event --exclude --include -1 --one -t --timeout
            --format --json --version -h --help' -- "$cur")
        return
    fi
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
} &&
    complete -o filenames -F _tarnwick_watch tarnwick-watch
