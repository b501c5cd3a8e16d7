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
    # Or it stands in the same word, after the f (-fx, -vfx). The shell
    # cannot quote or finish such a word as a file name, so it is done here:
    # each name quoted as the shell would read it, a directory with its
    # slash and no blank after it.
    if [[ $cur =~ ^(-[vVh]*f)(.+)$ ]]; then
        local prefix=${BASH_REMATCH[1]} typed name
        # What was typed, without the backslashes that quote it.
        typed=$(sed 's/\\\(.\)/\1/g' <<<"${BASH_REMATCH[2]}")
        local IFS=$'\n'
        COMPREPLY=()
        for name in $(compgen -f -- "$typed"); do
            [[ -d $name ]] && name+=/
            COMPREPLY+=("$prefix$(printf '%q' "$name")")
        done
        if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]]; then
            compopt -o nospace 2>/dev/null
        fi
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-f -v -V -h' -- "$cur"))
    fi
}
complete -F _pixtally pixtally
