"""Ctrl-C while the `ornel` command starts (the imports, its arguments) or ends: exit 130
quietly rather than with a traceback. Imported first by the package, and only when the
package is being run as the command; within the command's own work a KeyboardInterrupt
is raised as usual, so that outputs half-written are removed.

Only what the interpreter has loaded at start-up is imported here (`signal` itself
imports enum and functools, tens of milliseconds in which Ctrl-C would still raise)."""

import _signal  # type: ignore[import-not-found]  # the C half of `signal`, which typeshed leaves out
import os
import sys

INTERRUPTED = 130
MESSAGE = b"\nornel: interrupted\n"


def quit_quietly(signum: int, frame: object) -> None:
    # Nothing is written yet that would need cleaning up, and Python's own shutdown may be
    # what was interrupted: leave at once.
    os.write(2, MESSAGE)
    os._exit(INTERRUPTED)


def run_as_command() -> bool:
    """Whether this process is `ornel ...` or `python -m ornel ...` (while `python -m`
    imports the package, `sys.argv[0]` is "-m")."""
    argv = sys.argv or [""]
    if argv[0] == "-m":
        orig = getattr(sys, "orig_argv", [])
        return any(flag == "-m" and module.split(".")[0] == "ornel" for flag, module in zip(orig, orig[1:]))
    script = getattr(sys.modules.get("__main__"), "__file__", None)
    name = os.path.basename(script) if isinstance(script, str) else ""
    return name.removesuffix(".exe") in ("ornel", "ornel-script.py")


def install_if_command() -> None:
    if run_as_command() and _signal.getsignal(_signal.SIGINT) is _signal.default_int_handler:
        _signal.signal(_signal.SIGINT, quit_quietly)
