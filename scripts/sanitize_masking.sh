#!/usr/bin/env bash
# Builds the masking engine with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs its tests against that build:
#   1. the C++ kernel test (host/vorn-core/tests/native/kernel_test.cpp), alone;
#   2. the engine's Python tests (host/vorn-core/tests), with the sanitized
#      extension in place of the installed one.
# The Python interpreter itself is not instrumented, so the sanitizer runtimes
# are preloaded (LD_PRELOAD) for step 2; leak checking is off because the
# interpreter keeps objects alive until exit. Any report fails the run.
#
# Usage: bash scripts/sanitize_masking.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/setup.sh
VPY=$ROOT/.venv/bin/python
CORE=$ROOT/host/vorn-core
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vorn-sanitize.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

SAN_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
CXX=${CXX:-g++}
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "[sanitize] kernel test" >&2
# shellcheck disable=SC2086
"$CXX" -std=c++20 $SAN_FLAGS -DPCRE2_CODE_UNIT_WIDTH=32 -I"$CORE/src/native" \
    "$CORE/tests/native/kernel_test.cpp" "$CORE"/src/native/{masking_engine,pattern_syntax,anchors,prefilter}.cpp \
    -o "$WORK/kernel_test" $(pkg-config --cflags --libs libpcre2-32 libpcre2-8 libhs)
"$WORK/kernel_test"

echo "[sanitize] Python extension" >&2
cmake -S "$CORE" -B "$WORK/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKBUILD_PROJECT_NAME=vorn_core \
    -DPython_EXECUTABLE="$VPY" -Dnanobind_DIR="$("$VPY" -m nanobind --cmake_dir)" \
    -DCMAKE_CXX_FLAGS="$SAN_FLAGS" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$WORK/build" --target _masking -j "$(nproc)" >/dev/null

# A package tree with the sanitized extension, and a sitecustomize that drops
# the editable install's import redirect so that this tree is imported (in the
# test process and in every interpreter it starts).
mkdir -p "$WORK/site"
cp -r "$CORE/src/vorn_core" "$WORK/site/"
rm -f "$WORK"/site/vorn_core/masking/_masking*.so
cp "$WORK"/build/_masking*.so "$WORK/site/vorn_core/masking/"
cat >"$WORK/site/sitecustomize.py" <<'PY'
import sys
sys.meta_path[:] = [f for f in sys.meta_path if type(f).__module__ != "_editable_skbc_vorn_core"]
PY

ASAN_RT=$("$CXX" -print-file-name=libasan.so)
UBSAN_RT=$("$CXX" -print-file-name=libubsan.so)
echo "[sanitize] engine tests (preloading $ASAN_RT $UBSAN_RT)" >&2
export PYTHONPATH="$WORK/site" LD_PRELOAD="$ASAN_RT:$UBSAN_RT"
"$VPY" -c 'import sys, vorn_core.masking._masking as m
sys.exit(0 if m.__file__.startswith(sys.argv[1]) else "the sanitized extension was not imported")' "$WORK/site"
"$VPY" -m pytest "$CORE/tests" -q -p no:cacheprovider \
    -o addopts="" "$@"
echo "[sanitize] clean" >&2
