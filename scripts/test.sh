#!/usr/bin/env bash
# Runs the tests: sets the checkout up first (quick when already done), then pytest where it is run,
# with the checkout's root directory and configuration, so that every argument means what it means
# to pytest (`bash ../scripts/test.sh test_readme.py -k imports` from tests/); from outside the
# checkout, at its root, where with no path given it runs every test, rather than all it finds where
# it is run. -P: where it runs is not put on sys.path, where tests/e2b and the like would hide the
# packages of those names.
set -euo pipefail
root=$(dirname "$(dirname "$(readlink -f "$0")")")
bash "$root/scripts/setup.sh"
[[ $(pwd -P)/ == "$root"/* ]] || cd "$root"
exec "$root/.venv/bin/python" -P -m pytest --rootdir="$root" -c "$root/pyproject.toml" "$@"
