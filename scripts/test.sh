#!/usr/bin/env bash
# Runs every test: sets the checkout up first (quick when already done). Paths given are taken
# from where it is run (`bash ../scripts/test.sh test_x.py` from tests/), pytest from the root.
set -euo pipefail
here=$PWD
cd "$(dirname "$(readlink -f "$0")")/.."
bash scripts/setup.sh
args=() value=
for arg; do
    # A file or directory there, or a test in one (path::name); not the value of an option.
    if [ "$here" != "$PWD" ] && [ -z "$value" ] && [[ $arg != [-/]* ]] && [ -e "$here/${arg%%::*}" ]; then
        arg=$here/$arg
    fi
    # Options whose value is the next argument and not a path: -k and -m expressions, names, numbers.
    case $arg in
        -[kmpoWr] | --deselect | --override-ini | --pythonwarnings | --tb | --maxfail | --durations | \
            --durations-min | --capture | --color | --code-highlight | --import-mode | --show-capture | \
            --log-*level | --log-*format | --log-file-mode | --junit-prefix | --assert | --verbosity | \
            --timeout | --timeout-method | --hypothesis-profile | --hypothesis-seed | --hypothesis-verbosity | \
            --asyncio-mode) value=1 ;;
        *) value= ;;
    esac
    args+=("$arg")
done
exec .venv/bin/python -m pytest "${args[@]}"
