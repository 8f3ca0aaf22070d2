# Sourced by every bash of a stand-in's sandbox (BASH_ENV, containers.SANDBOX_ENV) after a profile that
# sets PATH anew (a login shell's): the sandbox's own Python goes back first on PATH, then what says that
# it is gone (python_gone), unless PATH names it already, where it is (a caller's own order). Kept here,
# read-only to the sandbox.
case ":$PATH:" in
    *:/tmp/.python/bin:*) ;;
    *) PATH="/tmp/.python/bin:${BASH_SOURCE%/*}/python_gone${PATH:+:$PATH}" ;;
esac
