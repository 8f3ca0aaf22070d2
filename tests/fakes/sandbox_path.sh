# Sourced by every bash of a stand-in's sandbox (BASH_ENV, containers.SANDBOX_ENV) after a profile that
# sets PATH anew (a login shell's, the host user's ~/.profile): the sandbox's own Python first on PATH,
# then what says that it is gone (python_gone), then the rest. Kept here, read-only to the sandbox.
_path=${PATH:+:$PATH}:
for _dir in "${BASH_SOURCE%/*}/python_gone" /tmp/.python/bin; do
    _path=":$_dir${_path//":$_dir:"/:}"
done
_path=${_path%:}
PATH=${_path#:}
unset _path _dir
