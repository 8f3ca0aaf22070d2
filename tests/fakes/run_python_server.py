"""Stand-in for the MCP run-python server: JSON-RPC 2.0 lines on stdin/stdout.

Runs each "run_python_code" call in this interpreter and answers with the real
server's tagged text (status, output, return_value or error, closing tags of a
field escaped inside it). Started through a launcher as the program of
``PydanticExecutorSandbox``; ``FAKE_RUN_PYTHON_MODE`` (comma-separated) makes it
misbehave:

``notify``     a notification and a stray reply precede every tools/call reply;
``garbage``    a non-JSON line precedes the first tools/call reply;
``undecodable`` so does a line that is not UTF-8;
``late``       tools/call is answered only after ten minutes;
``slow``       tools/call is answered after two seconds;
``exit``       tools/call makes the server exit without an answer;
``mute``       tools/call makes the server close its stdout and carry on without an answer;
``silent``     nothing is ever answered;
``init-error`` initialize is answered with an error object;
``flood``      4 MiB go to stderr before every reply;
``stubborn``   SIGTERM is ignored;
``orphan``     a child that ignores SIGTERM shares the server's pipes (its pid is logged as "orphan");
``escape``     the same child, in a session of its own;
``once``       only the first server started with this log misbehaves.

``FAKE_RUN_PYTHON_LOG`` names a file that receives the pid, the argv and every line read.
"""

import ast
import contextlib
import io
import json
import os
import re
import signal
import subprocess
import sys
import time
import traceback

MODES = set(os.environ.get("FAKE_RUN_PYTHON_MODE", "").split(","))
LOG = os.environ.get("FAKE_RUN_PYTHON_LOG")
if "once" in MODES and LOG:
    try:
        open(LOG + ".once", "x").close()
    except FileExistsError:
        MODES = set()

# Ignores SIGTERM, tells its parent so on the pipe it is given, then holds the inherited standard streams open.
ORPHAN = """
import os, signal, sys, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
if sys.argv[1] == "escape":
    os.setsid()
os.write(int(sys.argv[2]), b"ready")
time.sleep(600)
"""


def log(entry: object) -> None:
    if LOG:
        with open(LOG, "a") as handle:
            handle.write(json.dumps(entry) + "\n")


def send(message: object) -> None:
    if "flood" in MODES:
        sys.stderr.write(("x" * 1023 + "\n") * 4096)
        sys.stderr.flush()
    sys.stdout.write((message if isinstance(message, str) else json.dumps(message)) + "\n")
    sys.stdout.flush()


def escape(tag: str, text: str) -> str:
    return re.sub(
        rf"</?\s*{tag}(?:.*?>)?", lambda m: m[0].replace("<", "&lt;").replace(">", "&gt;"), text, flags=re.IGNORECASE
    )


def run(code: str) -> str:
    out, value, error = io.StringIO(), None, None
    try:
        body = ast.parse(code).body
        last = body.pop() if body and isinstance(body[-1], ast.Expr) else None
        scope: dict = {"__name__": "__main__"}
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
            exec(compile(ast.Module(body, []), "main.py", "exec"), scope)
            if last is not None:
                value = eval(compile(ast.Expression(last.value), "main.py", "eval"), scope)
    except BaseException:
        error = traceback.format_exc()
    parts = [f"<status>{'run-error' if error else 'success'}</status>"]
    if out.getvalue():
        parts += ["<output>", escape("output", out.getvalue().rstrip("\n")), "</output>"]
    if error:
        parts += ["<error>", escape("error", error), "</error>"]
    elif value is not None:
        parts += ["<return_value>", escape("return_value", json.dumps(value, default=repr)), "</return_value>"]
    return "\n".join(parts)


def start_orphan(kind: str) -> None:
    ready, ready_w = os.pipe()
    orphan = subprocess.Popen([sys.executable, "-c", ORPHAN, kind, str(ready_w)], pass_fds=(ready_w,))
    os.close(ready_w)
    os.read(ready, 5)  # SIGTERM is ignored from here on
    log({"orphan": orphan.pid})


def main() -> None:
    if "stubborn" in MODES:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    log({"pid": os.getpid(), "argv": sys.argv[1:], "cwd": os.getcwd()})
    for kind in ("orphan", "escape"):
        if kind in MODES:
            start_orphan(kind)
    calls = 0
    for line in sys.stdin:
        log(line)
        request = json.loads(line)
        if "id" not in request or "silent" in MODES:
            continue
        reply: dict = {"jsonrpc": "2.0", "id": request["id"]}
        if request["method"] == "initialize":
            if "init-error" in MODES:
                reply["error"] = {"code": -32603, "message": "no runtime"}
            else:
                reply["result"] = {"protocolVersion": "2024-11-05", "capabilities": {"tools": {}}}
        else:
            calls += 1
            if "late" in MODES:
                time.sleep(600)
            if "slow" in MODES:
                time.sleep(2)
            if "exit" in MODES:
                os._exit(3)
            if "mute" in MODES:
                os.close(1)
                time.sleep(600)
            if "notify" in MODES:
                send({"jsonrpc": "2.0", "method": "notifications/message", "params": {"data": "hi"}})
                send({"jsonrpc": "2.0", "id": 10**6, "result": {"content": [{"type": "text", "text": "stray"}]}})
            if "garbage" in MODES and calls == 1:
                send("this is not json")
            if "undecodable" in MODES and calls == 1:
                sys.stdout.buffer.write(b'{"jsonrpc": "2.0", "\xff"}\n')
                sys.stdout.buffer.flush()
            text = run(request["params"]["arguments"]["python_code"])
            reply["result"] = {"content": [{"type": "text", "text": text}], "isError": False}
        send(reply)


if __name__ == "__main__":
    main()
