"""Python worker behind one sandbox of a local stand-in (started by ``standin.PythonWorker``).

Run as a script with the sandbox's root directory as its only argument. It
reads one JSON request per line on stdin (``{"code": ..., "env_vars": ...}``)
and answers each with JSON events, one a line, named as the E2B code-interpreter
service streams them from ``/execute`` (other stand-ins translate them): ``number_of_executions``, ``stdout``/``stderr``
chunks, ``result``, ``error`` and a final ``end_of_execution``. Globals live
for the life of the process, so state survives between runs as in a Jupyter
kernel.

Output is chunked the way a kernel's stream flushes it: text is buffered and
sent once it holds a line break (every complete line, break included), and
the rest is sent when the cell ends. SIGINT interrupts the running cell,
which then ends with a ``KeyboardInterrupt`` error, as an interrupted kernel
does.

The cell starts in ``<root>/home/user`` (the stand-ins run the worker in a
container whose sandbox paths are the sandbox's own, with ``/`` as its root:
see ``containers.py``), or, with ``--host-paths`` after the root, in the root.
``_install_path_mapping`` maps the sandbox paths (``SANDBOX_TOPS``) into a
directory of the host for a program that runs in no container (the run-python
stand-in's launcher).
"""

from __future__ import annotations

import ast
import builtins
import io
import json
import os
import signal
import sys
import time
import traceback

SANDBOX_TOPS = frozenset({"files", "home", "mnt", "output", "outputs", "workspace"})


def _emit_to(proto: io.TextIOBase):
    def emit(event: dict) -> None:
        proto.write(json.dumps(event) + "\n")
        proto.flush()

    return emit


class _StreamChunker(io.TextIOBase):
    """A text stream that sends complete lines as chunks, keeping their breaks."""

    def __init__(self, name: str, emit) -> None:
        self._name = name
        self._emit = emit
        self._buffer = ""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        self._buffer += text
        cut = self._buffer.rfind("\n")
        if cut >= 0:
            chunk, self._buffer = self._buffer[: cut + 1], self._buffer[cut + 1 :]
            self._send(chunk)
        return len(text)

    def flush(self) -> None:
        if self._buffer:
            chunk, self._buffer = self._buffer, ""
            self._send(chunk)

    def _send(self, chunk: str) -> None:
        self._emit({"type": self._name, "text": chunk, "timestamp": time.time_ns()})


def _install_path_mapping(root: str) -> None:
    def to_host(path):
        if isinstance(path, (str, bytes, os.PathLike)) and not isinstance(path, int):
            text = os.fsdecode(path)
            if text.startswith("/"):
                top = text.lstrip("/").split("/", 1)[0]
                if top in SANDBOX_TOPS:
                    return os.path.join(root, text.lstrip("/"))
        return path

    def wrap(func):
        def mapped(path, *args, **kwargs):
            return func(to_host(path), *args, **kwargs)

        mapped.__name__ = getattr(func, "__name__", "mapped")
        return mapped

    def wrap2(func):
        def mapped(src, dst, *args, **kwargs):
            return func(to_host(src), to_host(dst), *args, **kwargs)

        return mapped

    builtins.open = io.open = wrap(io.open)
    for name in ("open", "stat", "lstat", "listdir", "scandir", "mkdir", "remove",
                 "unlink", "rmdir", "chdir", "access", "chmod"):
        setattr(os, name, wrap(getattr(os, name)))
    os.rename = wrap2(os.rename)
    os.replace = wrap2(os.replace)


def _run_cell(code: str, namespace: dict, emit) -> None:
    try:
        tree = ast.parse(code, mode="exec")
        last = None
        if tree.body and isinstance(tree.body[-1], ast.Expr):
            last = ast.Expression(tree.body.pop().value)
        exec(compile(tree, "<cell>", "exec"), namespace)
        if last is not None:
            value = eval(compile(last, "<cell>", "eval"), namespace)
            if value is not None:
                sys.stdout.flush()
                emit({"type": "result", "text": repr(value), "is_main_result": True})
    except BaseException as exc:  # the cell's failure is its result, whatever it is
        sys.stdout.flush()
        sys.stderr.flush()
        emit(
            {
                "type": "error",
                "name": type(exc).__name__,
                "value": str(exc),
                "traceback": "".join(
                    # The first frame is this worker's own exec/eval call.
                    traceback.format_exception(type(exc), exc, exc.__traceback__.tb_next)
                ),
            }
        )


def main() -> None:
    root = sys.argv[1]
    proto = os.fdopen(os.dup(1), "w", encoding="utf-8")
    # Anything writing to fd 1 directly (a subprocess) must not corrupt the
    # event stream, so fd 1 now points at stderr.
    os.dup2(2, 1)
    emit = _emit_to(proto)
    if sys.argv[2:] == ["--host-paths"]:
        os.chdir(root)
    else:
        home = os.path.join(root, "home", "user")
        os.makedirs(home, exist_ok=True)
        os.chdir(home)
    stdout = _StreamChunker("stdout", emit)
    stderr = _StreamChunker("stderr", emit)
    namespace: dict = {"__name__": "__main__"}
    count = 0
    running = False

    def interrupt(signum, frame):
        # Only a running cell is interrupted; an idle worker ignores SIGINT.
        if running:
            raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupt)
    worker = os.getpid()
    emit({"type": "ready"})
    for line in sys.stdin:
        if not line.strip():
            continue
        request = json.loads(line)
        count += 1
        env_vars = request.get("env_vars") or {}
        saved = {key: os.environ.get(key) for key in env_vars}
        os.environ.update(env_vars)
        sys.stdout, sys.stderr = stdout, stderr
        try:
            emit({"type": "number_of_executions", "execution_count": count})
            running = True
            try:
                _run_cell(request["code"], namespace, emit)
            except KeyboardInterrupt:
                pass
        finally:
            if os.getpid() != worker:  # a cell's fork returned here: only the worker answers its runs
                os._exit(0)
            running = False
            try:
                stdout.flush()
                stderr.flush()
            except KeyboardInterrupt:
                pass
            sys.stdout, sys.stderr = sys.__stdout__, sys.__stderr__
            for key, value in saved.items():
                if value is None:
                    os.environ.pop(key, None)
                else:
                    os.environ[key] = value
            emit({"type": "end_of_execution"})


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
