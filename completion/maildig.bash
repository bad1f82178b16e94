# bash completion for maildig: options, the values of --action and --range, file names for --config,
# --write and --verify-ca. Works with the bash-completion package and without it.

_maildig()
{
    local cur prev words cword
    if declare -F _init_completion >/dev/null 2>&1; then
        _init_completion -n = || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        # Plain bash splits "--range=a" into "--range", "=" and "a".
        if [[ $cur == = ]]; then
            cur=
        elif [[ $prev == = ]] && ((COMP_CWORD >= 2)); then
            prev=${COMP_WORDS[COMP_CWORD - 2]}
        fi
    fi

    # --opt=value: complete the value of the option before the "=".
    if [[ $cur == --*=* ]]; then
        prev=${cur%%=*}
        cur=${cur#*=}
    fi

    local values=()
    case $prev in
        -a | --action) values=(find view delete) ;;
        -r | --range) values=(first all) ;;
        -c | --config | -w | --write | --verify-ca)
            if declare -F _filedir >/dev/null 2>&1; then
                _filedir
            else
                local IFS=$'\n'
                COMPREPLY=($(compgen -f -- "$cur"))
            fi
            return
            ;;
        -l | --login | -f | --from | -t | --to | -s | --subject | -m | --maxsize | --passcmd)
            # Free text: nothing to offer.
            COMPREPLY=()
            return
            ;;
    esac
    if ((${#values[@]})); then
        COMPREPLY=($(compgen -W "${values[*]}" -- "$cur"))
        return
    fi

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-a --action -c --config -d -f --from -h --help -l --login -m --maxsize --oauth
            --passcmd -r --range -s --subject -t --to -v --verbose --verify --verify-ca --version -w --write' \
            -- "$cur"))
        COMPREPLY+=($(compgen -W '--keep-heads' -- "$cur"))
    fi
}
complete -F _maildig maildig
