# bash completion for pixtally
_pixtally() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]}
    # The option list ends, as the parser has it, at "--", at a lone "-" or at
    # the first operand; what follows is never an option. (A word right
    # after -f is its file name, whatever it looks like.)
    local i word takes_name= options_ended=
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [ -n "$takes_name" ]; then
            takes_name=
        elif [[ $word =~ ^-[vVh]*f$ ]]; then
            takes_name=1
        elif [[ $word == -- || $word == - || $word != -* ]]; then
            [[ $word == "<" || ${COMP_WORDS[i - 1]} == "<" ]] && continue
            options_ended=1
            break
        fi
    done
    # A file name follows -f, alone or ending a cluster (-vf), a redirection
    # of standard input, and the end of the options. Any file may hold an
    # image; directories lead on to more.
    if [[ -n $options_ended || $prev =~ ^-[vVh]*f$ || $prev == "<" ]]; then
        local IFS=$'\n'
        COMPREPLY=($(compgen -f -- "$cur"))
        compopt -o filenames 2>/dev/null
        return
    fi
    # Or it stands in the same word, after the f (-fx, -vfx). The shell
    # cannot quote or finish such a word as a file name, so it is done here:
    # each name quoted as the shell would read it, a directory with its
    # slash and no blank after it, and a leading ~ or ~user left to the
    # shell to expand, as in its own completion of ~/ paths.
    if [[ $cur =~ ^(-[vVh]*f)(.+)$ ]]; then
        local prefix=${BASH_REMATCH[1]} typed name tilde home rest
        # What was typed, without the backslashes that quote it.
        typed=$(sed 's/\\\(.\)/\1/g' <<<"${BASH_REMATCH[2]}")
        local IFS=$'\n'
        COMPREPLY=()
        for name in $(compgen -f -- "$typed"); do
            tilde= home= rest=$name
            if [[ $name =~ ^(~[A-Za-z0-9._-]*)(/.*)?$ ]]; then
                tilde=${BASH_REMATCH[1]} rest=${BASH_REMATCH[2]}
                eval "home=$tilde" # only a ~ and a user name, checked above
            fi
            [[ -d $home$rest ]] && rest+=/
            [ -z "$rest" ] || rest=$(printf '%q' "$rest")
            COMPREPLY+=("$prefix$tilde$rest")
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
