#!/usr/bin/env bash
# Runs every test: sets the checkout up first (quick when already done).
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
bash scripts/setup.sh
exec .venv/bin/python -m pytest "$@"
