# bash completion for pixtally
_pixtally() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    if [[ $prev == -f ]]; then
        # Any file may hold an image; directories lead on to more.
        local IFS=$'\n'
        COMPREPLY=($(compgen -f -- "$cur"))
        compopt -o filenames 2>/dev/null
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-f -v -V -h' -- "$cur"))
    fi
}
complete -F _pixtally pixtally
