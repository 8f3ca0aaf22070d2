#!/usr/bin/env bash
# Installs the Debian packages the native modules build with, bubblewrap (the test stand-ins run
# their sandboxes under it), and those named as arguments (setup.sh names its interpreter's
# headers package), when any is missing; run by setup.sh. As root, or through sudo when it
# works without a password. Another package manager run (on a fresh machine often the system's
# updater or cloud-init) may hold apt's locks: this waits for it, up to VORN_SETUP_LOCK_WAIT
# seconds (default 300).
set -euo pipefail

log() { printf '[setup] %s\n' "$*" >&2; }

# Checked even when nothing is missing, so a mistyped value shows on the first run. Read as
# decimal (bash would take 010 for octal 8); apt takes its lock timeout as a C int.
wait_limit=${VORN_SETUP_LOCK_WAIT:-300}
if ! [[ $wait_limit =~ ^0*([0-9]{1,10})$ ]] || ((10#${BASH_REMATCH[1]} > 2147483647)); then
    log "VORN_SETUP_LOCK_WAIT must be a whole number of seconds up to 2147483647, not '$wait_limit'"
    exit 1
fi
wait_limit=$((10#${BASH_REMATCH[1]}))

missing=()
for pkg in g++ make cmake pkg-config libpcre2-dev python3-venv bubblewrap "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
# Vectorscan, the portable fork of Hyperscan; Hyperscan itself serves as well.
if ! dpkg -s libvectorscan-dev >/dev/null 2>&1 && ! dpkg -s libhyperscan-dev >/dev/null 2>&1; then
    missing+=(libvectorscan-dev)
fi
((${#missing[@]})) || exit 0

# LC_ALL=C keeps apt's messages in the English read below. sudo -n fails instead of
# prompting, so an unattended run never hangs on a password.
if [ "$(id -u)" = 0 ]; then
    apt=(env LC_ALL=C DEBIAN_FRONTEND=noninteractive apt-get); via=""
elif command -v sudo >/dev/null && sudo -n LC_ALL=C DEBIAN_FRONTEND=noninteractive apt-get -v >/dev/null 2>&1; then
    apt=(sudo -n LC_ALL=C DEBIAN_FRONTEND=noninteractive apt-get); via=" (through sudo)"
else
    if command -v sudo >/dev/null; then
        why="sudo needs a password" as="sudo " where=""
    else
        why="sudo is not installed" as="" where=" as root"
    fi
    log "missing Debian packages: ${missing[*]}; not root and $why. Run this$where, then scripts/setup.sh again:"
    log "    ${as}apt-get update && ${as}apt-get install -y ${missing[*]}"
    exit 1
fi

# A lock another run holds. A lock apt cannot open, or may not take ("are you root?": no
# right to it, a read-only disk), is not one: waiting would not help.
is_lock_error() {
    [[ $1 == *"Could not get lock"* || $1 == *"Unable to acquire the dpkg frontend lock"* || $1 == *"Unable to lock"* ]] &&
        [[ $1 != *"Could not open lock file"* && $1 != *"are you root?"* ]]
}

# Who holds a lock apt could not get. apt names the holder only when it did not wait;
# after a wait it names just the lock, whose holder lslocks knows.
lock_holder() {
    local held path
    held=$(grep -oE 'held by process [0-9]+( \([^)]*\))?' <<<"$1" | head -n1) || true
    if [ -n "$held" ]; then
        echo "${held#held by }"
        return
    fi
    for path in $(grep -oE '/[^ ()]+' <<<"$1" | sed -E 's/[.,]+$//; s#/$#/lock#' | sort -u); do
        held=$(lslocks -n -r -o PID,COMMAND,PATH 2>/dev/null |
            awk -v p="$path" '$3 == p { print "process " $1 " (" $2 ")"; exit }') || true
        if [ -n "$held" ]; then
            echo "$held"
            return
        fi
    done
    echo "another package manager run"
}

said_waiting= deadline=
# apt-get with the given arguments, waiting for apt's locks. The wait is one for all calls: it
# ends wait_limit seconds after a lock was first found held (another run's update and upgrade
# hold one lock, then the other). The first try does not wait, so that apt names the holder;
# later tries let apt wait (DPkg::Lock::Timeout). apt-get update ignores that option for the
# lists lock (apt 2.6), hence the retries around it.
apt_locked() {
    local timeout=0 err
    while :; do
        if err=$("${apt[@]}" -o DPkg::Lock::Timeout="$timeout" "$@" 2>&1 >/dev/null); then
            [ -z "$err" ] || printf '%s\n' "$err" >&2
            return 0
        fi
        if ! is_lock_error "$err"; then
            printf '%s\n' "$err" >&2
            return 1
        fi
        deadline=${deadline:-$((SECONDS + wait_limit))}
        timeout=$((deadline - SECONDS))
        if ((timeout <= 0)); then
            printf '%s\n' "$err" >&2
            log "$(lock_holder "$err") still holds the package manager's lock after $wait_limit s." \
                "Let it finish, then run scripts/setup.sh again (VORN_SETUP_LOCK_WAIT=<seconds> waits longer)."
            return 1
        fi
        if [ -z "$said_waiting" ]; then
            log "waiting up to $timeout s for $(lock_holder "$err") to release the package manager's lock"
            said_waiting=1
        else
            sleep 1
        fi
    done
}

log "installing Debian packages: ${missing[*]}$via"
apt_locked update -qq
apt_locked install -y -qq "${missing[@]}"
