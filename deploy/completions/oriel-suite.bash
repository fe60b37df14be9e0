# bash completion for oriel_cli and fleet_cli                  -*- shell-script -*-
#
# The options, the commands and their operands are read from the program's
# own --help, so what a newer program accepts is completed without changing
# this file. Installed as .../bash-completion/completions/oriel_cli, with
# fleet_cli a link to it.

# Reads PROGRAM --help once per program and session into:
#   _oriel_suite_opts[prog]       the options
#   _oriel_suite_valued[prog]     " --opt=KIND " for options that take a value
#   _oriel_suite_cmds[prog]       the commands (oriel_cli)
#   _oriel_suite_operands[prog/cmd]  the operand kinds of a command
_oriel_suite_learn() {
    local prog=$1 help line opt value first rest word
    [[ -n ${_oriel_suite_opts[$prog]+set} ]] && return 0
    help=$("$prog" --help 2>/dev/null) || return 1
    _oriel_suite_opts[$prog]=$(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u | tr '\n' ' ')
    _oriel_suite_valued[$prog]=" "
    # "--port PATH", "--mode normal|tat", "--container [FILE]", "--slots N ... 1..8"
    while IFS= read -r line; do
        while [[ $line =~ (--[a-z][a-z0-9-]*)\ (\[?[A-Z][A-Z_]*\]?|[a-z0-9]+(\|[a-z0-9]+)+)(.*) ]]; do
            opt=${BASH_REMATCH[1]}
            value=${BASH_REMATCH[2]}
            line=${BASH_REMATCH[4]}
            if [[ $value == *"|"* ]]; then
                value="choice:$value"
            elif [[ $line =~ ([0-9]+)\.\.([0-9]+) ]]; then
                value="range:${BASH_REMATCH[1]}-${BASH_REMATCH[2]}"
            fi
            [[ ${_oriel_suite_valued[$prog]} == *" $opt="* ]] ||
                _oriel_suite_valued[$prog]+="$opt=$value "
        done
    done <<<"$help"
    # Commands: two-space indented words between "Commands" and "Options:".
    _oriel_suite_cmds[$prog]=""
    local in_commands=""
    while IFS= read -r line; do
        case $line in
            Commands*) in_commands=1; continue ;;
            Options:*) in_commands="" ;;
        esac
        [[ -n $in_commands && $line =~ ^\ \ ([a-z][a-z0-9-]*)(.*)$ ]] || continue
        first=${BASH_REMATCH[1]}
        rest=${BASH_REMATCH[2]%%  *}
        _oriel_suite_cmds[$prog]+="$first "
        rest=$(sed -E 's/\[--[^]]*\]//g; s/[][]//g' <<<"$rest")
        _oriel_suite_operands[$prog/$first]=""
        for word in $rest; do
            _oriel_suite_operands[$prog/$first]+="$word "
        done
    done <<<"$help"
}

# Sector lists: 4  2,5,133  4-20; completes the number after the last , or -.
_oriel_suite_sectors() {
    local cur=$1 head=${1%[,-]*} n
    [[ $head == "$cur" ]] && head="" || head="${cur:0:${#head}+1}"
    local tail=${cur:${#head}}
    for ((n = 0; n <= 133; n++)); do
        [[ $n == "$tail"* ]] && COMPREPLY+=("$head$n")
    done
    compopt -o nospace 2>/dev/null
}

_oriel_suite_files() {
    local IFS=$'\n'
    COMPREPLY+=($(compgen -f -- "$1"))
    compopt -o filenames 2>/dev/null
}

_oriel_suite_value() {
    local kind=$1 cur=$2 IFS=$' \n'
    case $kind in
        choice:*)
            local words=${kind#choice:}
            COMPREPLY=($(compgen -W "${words//|/ }" -- "$cur"))
            ;;
        range:*)
            local lo=${kind#range:} hi
            hi=${lo#*-}
            lo=${lo%-*}
            COMPREPLY=($(compgen -W "$(seq "$lo" "$hi")" -- "$cur"))
            ;;
        DIR | \[DIR\])
            local IFS=$'\n'
            COMPREPLY=($(compgen -d -- "$cur"))
            compopt -o filenames 2>/dev/null
            ;;
        RATE) COMPREPLY=($(compgen -W "115200 230400 460800 921600" -- "$cur")) ;;
        PATH)
            # A serial device: the stable links first, then any file (a simulator's link).
            local IFS=$'\n'
            COMPREPLY=($(compgen -W "$(ls -d /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* \
                /dev/ttyS* 2>/dev/null)" -- "$cur"))
            _oriel_suite_files "$cur"
            ;;
        NAME)
            COMPREPLY=($(compgen -W "$(iconv -l 2>/dev/null | tr ',' '\n' |
                sed -E 's#//##; s/^ +//' | grep -E '^(CP|ISO|UTF|EUC|KOI|SHIFT|BIG5|GB)')" \
                -- "$cur"))
            ;;
        *FILE* | F | \[FILE\] | *.mfx) _oriel_suite_files "$cur" ;;
        *) ;;  # a number, a pattern, a hex value: nothing to offer
    esac
}

_oriel_suite() {
    local prog=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD - 1]} i word kind command="" operand=0 skip=""
    COMPREPLY=()
    declare -gA _oriel_suite_opts _oriel_suite_valued _oriel_suite_cmds _oriel_suite_operands
    _oriel_suite_learn "$prog" || return 0

    # A value for the option before the cursor.
    if ((COMP_CWORD > 1)) && [[ ${_oriel_suite_valued[$prog]} =~ \ $prev=([^ ]+)\  ]]; then
        kind=${BASH_REMATCH[1]}
        if [[ $kind != \[*\] || $cur != -* ]]; then
            _oriel_suite_value "$kind" "$cur"
            [[ $kind != \[*\] ]] && return 0
        fi
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY+=($(compgen -W "${_oriel_suite_opts[$prog]}" -- "$cur"))
        return 0
    fi
    # Which command the cursor is in, and which of its operands.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $skip ]]; then
            skip=""
        elif [[ $word == -* ]]; then
            [[ ${_oriel_suite_valued[$prog]} =~ \ $word=([^ ]+)\  && ${BASH_REMATCH[1]} != \[*\] ]] &&
                skip=1
        elif [[ " ${_oriel_suite_cmds[$prog]} " == *" $word "* ]]; then
            command=$word
            operand=0
        else
            ((operand++))
        fi
    done
    local -a kinds=()
    [[ -n $command ]] && read -ra kinds <<<"${_oriel_suite_operands[$prog/$command]}"
    if ((operand < ${#kinds[@]})); then
        kind=${kinds[operand]}
        case $kind in
            SECTORS) _oriel_suite_sectors "$cur" ;;
            *"|"*) COMPREPLY=($(compgen -W "${kind//|/ }" -- "$cur")) ;;
            --*) COMPREPLY=($(compgen -W "$kind" -- "$cur")) ;;
            PATH) ;;  # a path on the handset
            *) _oriel_suite_files "$cur" ;;
        esac
        return 0
    fi
    if [[ -n ${_oriel_suite_cmds[$prog]} ]]; then
        COMPREPLY=($(compgen -W "${_oriel_suite_cmds[$prog]}" -- "$cur"))
    fi
}

complete -F _oriel_suite oriel_cli fleet_cli
