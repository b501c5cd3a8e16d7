# bash completion for pixtally
_pixtally() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    # A file name follows -f, alone or ending a cluster (-vf), and a
    # redirection of standard input. Any file may hold an image; directories
    # lead on to more.
    if [[ $prev =~ ^-[vVh]*f$ || $prev == "<" ]]; then
        local IFS=$'\n'
        COMPREPLY=($(compgen -f -- "$cur"))
        compopt -o filenames 2>/dev/null
        return
    fi
    # Or it stands in the same word, after the f (-fx, -vfx).
    if [[ $cur =~ ^(-[vVh]*f)(.+)$ ]]; then
        local IFS=$'\n'
        COMPREPLY=($(compgen -P "${BASH_REMATCH[1]}" -f -- "${BASH_REMATCH[2]}"))
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-f -v -V -h' -- "$cur"))
    fi
}
complete -F _pixtally pixtally
