#!/usr/bin/env bash
# Runs every test: sets the checkout up first (quick when already done). Paths given are taken
# from where it is run (`bash ../scripts/test.sh test_x.py` from tests/), pytest from the root,
# where the tests expect to run.
set -euo pipefail
here=$PWD
cd "$(dirname "$(readlink -f "$0")")/.."
bash scripts/setup.sh
# Options whose value is a path, and options whose value is anything else (-k and -m expressions,
# names, numbers); short ones, which may be clustered (-vk expr), apart.
path_options='--rootdir|--ignore|--ignore-glob|--junitxml|--junit-xml|--confcutdir|--basetemp|--config-file|--log-file|--debug|--inifile'
value_options='--deselect|--override-ini|--pythonwarnings|--tb|--maxfail|--durations|--durations-min|--capture|--color'
value_options+='|--code-highlight|--import-mode|--show-capture|--log-.*level|--log-.*format|--log-file-mode'
value_options+='|--junit-prefix|--assert|--verbosity|--timeout|--timeout-method|--hypothesis-.*|--asyncio-mode'
from_here() {
    if [ "$here" = "$PWD" ] || [[ $1 == /* ]]; then echo "$1"; else echo "$here/$1"; fi
}
args=() next=
for arg; do
    if [ -n "$next" ]; then  # the value of the option before it
        [ "$next" != path ] || arg=$(from_here "$arg")
        next=
    elif [[ $arg == --*=* ]]; then
        [[ ! ${arg%%=*} =~ ^($path_options)$ ]] || arg=${arg%%=*}=$(from_here "${arg#*=}")
    elif [[ $arg =~ ^($path_options)$ ]]; then
        next=path
    elif [[ $arg =~ ^($value_options)$ ]]; then
        next=value
    elif [[ $arg == -[!-]* ]]; then
        # The first short option that takes a value takes the rest of the cluster, else the next argument.
        for ((i = 1; i < ${#arg}; i++)); do
            case ${arg:i:1} in
                c) if ((i + 1 < ${#arg})); then arg=${arg:0:i+1}$(from_here "${arg:i+1}"); else next=path; fi; break ;;
                [kmpoWr]) ((i + 1 < ${#arg})) || next=value; break ;;
            esac
        done
    elif [[ $arg != /* ]] && [ -e "$here/${arg%%::*}" ]; then  # a file or directory there, or a test in one
        arg=$(from_here "$arg")
    fi
    args+=("$arg")
done
exec .venv/bin/python -m pytest "${args[@]}"
