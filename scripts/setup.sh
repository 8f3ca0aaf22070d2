#!/usr/bin/env bash
# Sets up a development checkout: Debian build packages, a Python 3.13 venv in .venv, and vorn-tools, vorn-core and
# vorn-inference editable with their test extras, dependencies pinned by constraints.txt. A rerun takes a second.
set -euo pipefail
umask 022  # what it makes (the venv, whose programs it runs) no one else may change, whatever the caller's
# A relative CMAKE_EXECUTABLE (./bin/cmake) is meant from where the set-up is run, a quoted '~/bin/cmake' from home.
[[ ${CMAKE_EXECUTABLE:-} != "~/"* ]] || CMAKE_EXECUTABLE=~/${CMAKE_EXECUTABLE#"~/"}
[[ ${CMAKE_EXECUTABLE:-} != [!/]*/* ]] || CMAKE_EXECUTABLE=$PWD/${CMAKE_EXECUTABLE#./}
cd "$(dirname "$(readlink -f "$0")")/.."
ROOT=$PWD
log() { printf '[setup] %s\n' "$*" >&2; }
user_name() { local name; name=$(getent passwd "$1" | cut -d: -f1) || true; echo "${name:-uid $1}"; }

# Root (sudo) in a user's checkout would make a .venv that user cannot write.
me=$(id -u) owner=$(stat -c %u .)
[ "$me" != 0 ] || [ "$owner" = 0 ] || { log "this checkout belongs to $(user_name "$owner"); run scripts/setup.sh as" \
    "that user, without sudo: it calls sudo itself for the Debian packages it needs"; exit 1; }

# A checkout, .venv or build directory the caller cannot write (root's, say) would fail half-way, with an
# error for each file: stop first, saying whose it is (of .venv, every directory counts: removing a file
# takes its directory's write permission). What is the caller's own is theirs to make writable.
if [ ! -w . ]; then
    if [ "$owner" = "$me" ]; then
        log "this checkout is yours ($(user_name "$me")), but you cannot write it (read-only permissions or" \
            "file system): make it writable, or clone it where you can write; then run scripts/setup.sh again"
    else
        log "this checkout belongs to $(user_name "$owner"), and you ($(user_name "$me")) cannot write it:" \
            "clone it as yourself, or run scripts/setup.sh as $(user_name "$owner")"
    fi
    exit 1
fi
for entry in .venv .venv.removing build host/*/build; do
    # A link to nowhere would pass for absent here, then stop making .venv or the build half-way.
    if [ -L "$entry" ] && [ ! -e "$entry" ] && [ "$entry" != .venv.removing ]; then
        log "$entry is a link to $(readlink -m "$entry"), which does not exist: make that directory, or" \
            "remove the link; then run scripts/setup.sh again"
        exit 1
    fi
    # -H: an entry that links elsewhere (.venv to a volume, say) is checked where it leads, where the set-up writes.
    blocked=$(find -H "$entry" -type d \( ! -writable -o ! -readable -o ! -executable \) -print -quit 2>/dev/null) || :
    [ -z "$blocked" ] && continue
    uid=$(stat -L -c %u "$blocked") holder=$(user_name "$uid")
    if findmnt -n -o OPTIONS -T "$blocked" 2>/dev/null | tr , '\n' | grep -qx ro; then
        log "$blocked is on a read-only file system (mounted at $(findmnt -n -o TARGET -T "$blocked")):" \
            "mount it writable, or clone the checkout where you can write; then run scripts/setup.sh again"
    elif [ "$uid" = "$me" ]; then
        log "$blocked is yours ($(user_name "$me")), but you cannot write it: make it writable" \
            "(chmod -R u+rwX $entry); then run scripts/setup.sh again"
    elif [ -L "$entry" ]; then
        log "$blocked belongs to $holder, and you ($(user_name "$me")) cannot write it: remove the link" \
            "$entry (to $(readlink -f "$entry")), or point it elsewhere; then run scripts/setup.sh again"
    elif [ "$entry" = .venv ] && mountpoint -q .venv; then
        log "$blocked belongs to $holder, and you ($(user_name "$me")) cannot write it: have $holder give" \
            "you the volume mounted at .venv (chown -R $(user_name "$me") on it), or mount one you own there;" \
            "then run scripts/setup.sh again"
    else
        log "$blocked belongs to $holder, and you ($(user_name "$me")) cannot write it: have $holder remove" \
            "$entry, or clone the checkout as yourself; then run scripts/setup.sh again"
    fi
    exit 1
done

# Concurrent runs share one venv and take turns on a 0600 lock file, made only where nothing is (a link to
# a new file, which fails if anything took the name), never replaced while held, opened only once seen to
# be the caller's own regular file. Anything else there the owner moves aside; anyone else is told whose.
LOCK=.setup-lock
# Kinds of file in C's words: stat names them in the user's language.
own_lock() { [[ $(LC_ALL=C stat -c '%u %a %F' -- "${1:-$LOCK}" 2>/dev/null) == "$me 600 regular"* ]]; }
said_waiting= moved=0 moved_aside=
while :; do
    # One look decides: what was absent, or this run's own, is never moved aside on a second look.
    found=$(LC_ALL=C stat -c '%u %a %F' -- "$LOCK" 2>/dev/null) || found=
    if [ -z "$found" ]; then
        new=$(mktemp "$LOCK.XXXXXX")
        failed=$(LC_ALL=C ln -T -- "$new" "$LOCK" 2>&1) || [[ $failed == *"File exists" ]] ||
            { rm -f -- "$new"; log "could not make the lock file $LOCK: $failed"; exit 1; }
        rm -f -- "$new"
    elif [[ $found == "$me 600 regular"* ]]; then
        # Read-write, which waits for no writer: what took its place since the look (another run moved
        # it aside) may be a FIFO, or another user's file they hold, neither to be waited on.
        { exec 9<>"$LOCK"; } 2>/dev/null && [ -O /dev/fd/9 ] || continue
        flock -n 9 || { [ -n "$said_waiting" ] || log "waiting for another set-up of this checkout to finish"
            said_waiting=1; flock 9; }
        # Moved aside while this run waited: held, but no longer what runs take turns on.
        { [ "$LOCK" -ef /dev/fd/9 ] && own_lock; } && break
        exec 9<&-
    elif [ "$owner" = "$me" ] && ((moved++ < 10)); then
        new=$(mktemp "$LOCK.XXXXXX") aside=$(mktemp -u "$LOCK.XXXXXX")
        # Looked at again at once: another run's lock may have taken its place meanwhile.
        [ -L "$LOCK" ] || [ ! -O "$LOCK" ] || ! own_lock || { rm -f -- "$new"; continue; }
        mv -n -T -- "$LOCK" "$aside" 2>/dev/null || true
        [ -e "$aside" ] || [ -L "$aside" ] || { rm -f -- "$new"; continue; }
        # Another run's lock, made after this run looked: put back, not removed.
        if [ -f "$aside" ] && [ ! -L "$aside" ] && [ -O "$aside" ] && own_lock "$aside"; then
            ln -T -- "$aside" "$LOCK" 2>/dev/null || true
            rm -f -- "$aside" "$new"
            continue
        fi
        ln -T -- "$new" "$LOCK" 2>/dev/null || true  # at once, before anyone else takes the name
        rm -f -- "$new"
        rm -rf -- "$aside" 2>/dev/null || true
        [ "${found%% *}" != "$me" ] && [ -z "$moved_aside" ] || continue
        left=", and removed it"
        [ ! -e "$aside" ] || left=" to $aside, which you cannot remove: have $(user_name "${found%% *}") remove it"
        moved_aside="$LOCK, where set-ups of this checkout take turns, was $(user_name "${found%% *}")'s"
        moved_aside+=" ${found#* * }: moved it aside$left"
        # Only where others can write the checkout would making it the owner's alone help.
        ((8#$(stat -c %a .) & 8#022)) && moved_aside+="; keep this checkout writable by you alone" &&
            moved_aside+=" (chmod go-w $ROOT), so that no one else can get in its set-up's way"
    elif [ "$owner" = "$me" ]; then
        log "$LOCK, where set-ups of this checkout take turns, is taken again each time it is moved aside" \
            "(now $(user_name "${found%% *}")'s ${found#* * }): keep this checkout writable by you alone" \
            "(chmod go-w $ROOT); then run scripts/setup.sh again"
        exit 1
    else
        log "$LOCK, which locks this checkout's set-ups, is $(user_name "${found%% *}")'s, not yours" \
            "($(user_name "$me")): run scripts/setup.sh as $(user_name "$owner"), or clone the checkout as yourself"
        exit 1
    fi
done
[ -z "$moved_aside" ] || log "$moved_aside"

# --- Python: .venv's, else 3.13 preferred, else the newest 3.11+ -----------
find_python() {
    local c v
    for v in 3.13 3.12 3.11; do
        for c in "${PYENV_ROOT:-${HOME:-}/.pyenv}"/versions/$v*/bin/python$v "$(command -v python$v || true)"; do
            [ -n "$c" ] && [ -x "$c" ] || continue
            [ "$v" = 3.13 ] || log "WARNING: Python 3.13 not found; using $c (python$v)"
            echo "$c"; return 0
        done
    done
    return 1
}

# Where .venv leads, resolved once: checked, emptied, made and run pip from (a venv's Python takes the
# directory it runs from as its venv), so a link changed meanwhile steers nothing, and stops the run.
top=$(readlink -f .venv)
VPY=$top/bin/python
same_venv() { [ "$(readlink -f .venv)" = "$top" ] || { log ".venv was changed while the set-up ran (it led to $top," \
    "now to $(readlink -m .venv)): run scripts/setup.sh again"; exit 1; }; }
# A .venv that is a mount point (a volume, as dev containers mount one) cannot be renamed, and one
# that is a link leads where the user wants the venv: either is emptied in place.
in_place= elsewhere=
if [ -L .venv ]; then in_place="a link to $top" elsewhere="point the link elsewhere"
elif mountpoint -q .venv; then in_place="a mount point" elsewhere="mount another volume there"; fi
# The set-up runs what it finds there and trusts its marker: where others can put files, it would run
# theirs. Others can write where the group may (whoever's group: users may share one), anyone may, or an
# ACL lets them (ls -ld shows +; a default ACL too). The line says what to run: only an empty one is kept.
yours_alone() {
    local who gid mode acl why fix= at=.venv group writer narrow
    read -r who gid mode < <(LC_ALL=C stat -c '%u %g %a' -- "$top"); acl=$(LC_ALL=C ls -ld -- "$top") acl=${acl:10:1}
    [ "$who" = "$me" ] && ! ((8#$mode & 8#022)) && [ "$acl" != + ] && return
    # Empty, 700 and the caller's (no one else's, ACL or not), as a kill while the set-up made it leaves it: anew.
    [ "$who $mode$in_place" != "$me 700" ] || ! rmdir -- "$top" 2>/dev/null || return 0
    group=$(getent group "$gid" | cut -d: -f1) || group=$gid  # by its number where it has no name
    writer="group $group" narrow=g-w; ! ((8#$mode & 8#002)) || writer=anyone narrow=go-w
    if [ "$who" != "$me" ]; then why="$(user_name "$who")'s, not yours"
        [ "$acl" = + ] || ! ((8#$mode & 8#022)) || why+=", and $writer can write it"
    elif [ "$acl" = + ]; then why="yours, with an ACL (ls -ld shows +) that may let others write"
        ! type -P setfacl >/dev/null || fix="setfacl -R -b"  # only where it is installed (Debian's acl)
    else why="yours, but $writer can write it" fix="chmod -R $narrow"; fi
    [ -z "$(ls -A "$top")" ] || fix=; [ -z "$in_place" ] || at=$top  # others' may be in it: kept only empty
    fix=${fix:+"run $fix $at, or "}${elsewhere:-"remove it (rm -rf .venv) for the set-up to make anew, yours alone"}
    log ".venv${in_place:+ ($in_place)} is $why (mode $mode): the set-up installs only where no one else can" \
        "write; $fix; then run scripts/setup.sh again"
    exit 1
}
[ ! -e "$top" ] || yours_alone
# In .venv from before it is made or emptied until that is done: a run stopped meanwhile (Ctrl-C, a
# kill) leaves it there, so what is left is known as the set-up's own. Made with noclobber: never
# written through a link, or into a file put there since the look (none but the caller's: above).
MAKING=$top/.setup-making
mark() { [ -f "$MAKING" ] || (set -C && : >"$MAKING"); }
# Removed, .venv is renamed aside first (an interrupt could leave a part that looks made; the rest goes
# next time); emptied in place, its pyvenv.cfg goes first, so what is left is never taken for made.
remove_venv() {
    local inner
    # Neither emptied nor renamed, a mount within would fail the removal half-way, every run.
    while IFS= read -r inner; do
        inner=$(printf '%b' "$inner")  # findmnt escapes blanks and the like as \xHH
        [[ $inner != "$top"/* ]] || { log "$inner is mounted inside .venv, which the set-up has to empty:" \
            "unmount it; then run scripts/setup.sh again"; exit 1; }
    done < <(findmnt -rn -o TARGET 2>/dev/null)
    same_venv
    if [ -n "$in_place" ]; then
        [ -z "${1:-}" ] || log "emptying .venv ($in_place), $1"
        mark
        rm -f -- "$top/pyvenv.cfg"
        shopt -s dotglob nullglob
        for inner in "$top"/*; do [ "$inner" = "$MAKING" ] || rm -rf "$inner"; done
        shopt -u dotglob nullglob
        rm -f -- "$MAKING"
    else
        [ -z "${1:-}" ] || log "removing .venv, $1"
        mv -T .venv .venv.removing
        rm -rf .venv.removing
    fi
}
rm -rf .venv.removing
# Without pyvenv.cfg (a removal cut short), .venv's python is the one it links to, and pip would install
# into that. An empty directory has nothing to remove; one in place holding anything but a venv is not
# the set-up's to empty; nor is one with a marker that is not the caller's own.
marker=$(LC_ALL=C stat -c '%u %F' -- "$MAKING" 2>/dev/null) || marker=
if [[ $marker == "$me regular"* ]]; then
    remove_venv "which a set-up that was cut short left unfinished"
elif [ -n "$marker" ]; then
    log "$MAKING, which marks a venv a set-up has yet to finish, is $(user_name "${marker%% *}")'s" \
        "${marker#* }, not one a set-up of yours left: remove it; then run scripts/setup.sh again"
    exit 1
elif [ -e "$top" ] && [ ! -f "$top/pyvenv.cfg" ] && [ -n "$(ls -A "$top")" ]; then
    [ -z "$in_place" ] || { log ".venv ($in_place) holds what is not a venv ($(ls -A "$top" | head -1), say;" \
        "no pyvenv.cfg), which the set-up does not remove: empty it, or $elsewhere; then run scripts/setup.sh again"
        exit 1; }
    remove_venv "which holds no finished venv (no pyvenv.cfg), to make it anew"
elif [ -f "$top/pyvenv.cfg" ] && [ ! -x "$top/bin/python" ]; then
    # Its interpreter removed (pyenv's uninstalled, say), or out of reach (root's, in a checkout root cloned and
    # gave away): a venv cannot be pointed at another one.
    gone="is gone"; { [ -e "$VPY" ] || [[ $(LC_ALL=C stat -L -- "$VPY" 2>&1) == *"Permission denied" ]]; } &&
        gone="is out of your reach (another user's, say)"
    remove_venv "whose Python ($(readlink -m "$VPY")) $gone, to make it anew"
fi
# What the install depends on: a run with all of it unchanged has nothing to do.
stamp_inputs() {
    cat pyproject.toml constraints.txt CMakeLists.txt host/*/pyproject.toml host/*/CMakeLists.txt 2>/dev/null
    find src/native host/*/src/native -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) \
        -print0 2>/dev/null | sort -z | xargs -0 cat 2>/dev/null
    # The editable install maps the Python files it saw; a new module needs a reinstall.
    find src host/*/src -name '*.py' 2>/dev/null | sort
    "$VPY" -c 'import sys; print(sys.version)'
}
stamp() { stamp_inputs | sha256sum | cut -d' ' -f1; }
if [ -x "$VPY" ] && [ "$(stamp)" = "$(cat .setup-stamp 2>/dev/null || true)" ] &&
    "$VPY" -c 'import vorn_tools._native, vorn_core, vorn_inference' 2>/dev/null; then
    same_venv; log "up to date"; exit 0
fi

# From a venv, sysconfig reports its base interpreter's include directory.
PY=$VPY; [ -x "$VPY" ] || PY=$(find_python) || { log "no Python 3.11+ found"; exit 1; }
query='import os, sys, sysconfig
print(os.path.realpath(sys._base_executable), "%d.%d" % sys.version_info[:2],
      sysconfig.get_paths()["include"], sep="\n")'
info=$("$PY" -c "$query") || { log "could not run $PY"; exit 1; }
{ read -r base; read -r ver; read -r include; } <<<"$info"

# --- Debian packages needed to build the native modules -------------------
# Quick when none is missing (dpkg only); otherwise waits for apt's locks, and uses sudo.
# The C++ build needs the interpreter's headers, which Debian ships apart from it.
dev=; [ -f "$include/Python.h" ] || [[ $(dpkg -S "$base" 2>/dev/null) != "python$ver"* ]] || dev=python$ver-dev
bash scripts/_packages.sh ${dev:+"$dev"}
# Still missing: another origin's Python built without them, or hidden despite the package.
if [ ! -f "$include/Python.h" ]; then
    fix=". Install them for that Python"
    [ -z "$dev" ] || fix=", though $dev is installed. Reinstall it (as root: apt-get install --reinstall $dev)"
    # Without .venv, would another interpreter be taken? Removing it helps only then.
    [ "$PY" = "$VPY" ] && other=$(find_python 2>/dev/null) && other=$("$other" -c "$query" 2>/dev/null) &&
        [ "${other%%$'\n'*}" != "$base" ] && fix+=", or remove .venv, which was made with it"
    log "$base has no headers (no Python.h in $include), which the C++ build needs$fix;" \
        "then run scripts/setup.sh again"
    exit 1
fi

if [ ! -x "$VPY" ]; then
    log "creating .venv with $PY"
    # A venv that failed half-way (no ensurepip, say) would be taken for a made one next time.
    same_venv
    # Under a default ACL, what is made takes it (umask aside): .venv is made 0700 (no one else's meanwhile), rid of
    # it and opened to 755 uninterrupted (one left with the ACL would be refused), and the rest inside takes none.
    unacl='import os, sys; [os.removexattr(sys.argv[1], n) for n in os.listxattr(sys.argv[1]) if "posix_acl" in n]'
    trap '' INT TERM
    { { [ -e "$top" ] || { mkdir -m 700 "$top" && "$PY" -c "$unacl" "$top" 2>/dev/null; chmod 755 "$top"; }; } &&
        trap - INT TERM && yours_alone && mark && "$PY" -m venv "$top" && rm "$MAKING"; } ||
        { rc=$?; ((rc == 130 || rc == 143)) && log "interrupted while making .venv: run scripts/setup.sh again" &&
            exit $rc; log "could not create .venv with $PY"; remove_venv; exit 1; }
fi

# --- Install ---------------------------------------------------------------
same_venv
want=$(stamp)
# scikit-build-core gives the first cmake and ninja on PATH 5 s to answer (a pyenv shim may take longer), else builds
# for make, which that ninja, quick next time, cannot: it is given Debian's cmake, and make (on all cores), installed.
# What the user set that the set-up would not use may be why the build fails (a typo; a shim too slow for those 5 s).
export PIP_DISABLE_PIP_VERSION_CHECK=1 CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} \
    CMAKE_EXECUTABLE=${CMAKE_EXECUTABLE:-/usr/bin/cmake} CMAKE_GENERATOR=${CMAKE_GENERATOR:-Unix Makefiles}
cmake=$(type -P -- "$CMAKE_EXECUTABLE") || { log "CMAKE_EXECUTABLE is $CMAKE_EXECUTABLE, which is not a program" \
    "you can run: point it at a cmake, or unset it for Debian's; then run scripts/setup.sh again"; exit 1; }
yours=; [ "$CMAKE_GENERATOR" = "Unix Makefiles" ] || yours="CMAKE_GENERATOR=\"$CMAKE_GENERATOR\""
[ "$cmake" -ef /usr/bin/cmake ] || yours+="${yours:+ and }CMAKE_EXECUTABLE=\"$CMAKE_EXECUTABLE\""
# A build directory configured otherwise (another generator; older make files run by ninja; a gmake that no longer runs): anew.
for cache in build/*/CMakeCache.txt host/*/build/*/CMakeCache.txt; do
    made=$(sed -n 's/^CMAKE_MAKE_PROGRAM:[^=]*=//p' "$cache" 2>/dev/null || :)
    { grep -qxF "CMAKE_GENERATOR:INTERNAL=$CMAKE_GENERATOR" "$cache" && { [[ $made == *make ]] ||
        [ "$CMAKE_GENERATOR" != "Unix Makefiles" ]; } && "$made" --version; } &>/dev/null || rm -rf -- "$cache" "${cache%/*}/CMakeFiles"
done
# An install cut short must not leave the stamp of the one before it.
rm -f .setup-stamp
# The package metadata declares ranges; the constraints pin what CI has run.
trap 'trap - INT; kill -INT $$' INT  # pip takes Ctrl-C and ends with 1, after which bash would go on: it ends too
pip_install() { local code=0; "$VPY" -m pip install -q -c constraints.txt "$@" || code=$?; same_venv; return $code; }
log "installing build tools"
pip_install scikit-build-core nanobind setuptools wheel
log "installing vorn-core, vorn-inference and vorn-tools (editable, with test extras)"
pip_install --no-build-isolation -e host/vorn-core -e host/vorn-inference -e ".[test,e2b,opensandbox,bedrock]" ||
    { built=$?; [ -z "$yours" ] || log "the build failed; you set $yours, which the set-up's own build does not use:" \
        "if that is why, unset or correct it; then run scripts/setup.sh again"; exit $built; }
echo "$want" > .setup-stamp
log "done"
