#!/usr/bin/env bash
# Runs every test: sets the checkout up first (quick when already done). Within the checkout, pytest
# runs where it is run, rooted at the checkout, so that every path given is taken from there as plain
# pytest takes it (`bash ../scripts/test.sh test_x.py` from tests/); from outside, it runs at the root.
set -euo pipefail
root=$(dirname "$(dirname "$(readlink -f "$0")")")
bash "$root/scripts/setup.sh"
here=$(pwd -P)
if [ "$here" = "$root" ] || [[ $here == "$root"/* ]]; then
    # -P: where it runs is not put on sys.path, where tests/e2b and the like would hide the packages
    # of those names.
    exec "$root/.venv/bin/python" -P -m pytest --rootdir="$root" "$@"
fi
cd "$root"
exec .venv/bin/python -P -m pytest "$@"
