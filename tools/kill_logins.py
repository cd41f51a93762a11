#!/usr/bin/env python3
"""Logins killed with SIGKILL at random moments, as batch schedulers and
the OOM killer end training jobs: what do they leave beside the tokens file?

    python tools/kill_logins.py [--kills N] [--seed S] [--max-delay SECONDS]
                                [--parent DIR] [--refuse NAME ...]

Starts a local account server and a killer process (a fresh interpreter that
imports vandrel and logs in once). For each kill the killer forks a logger
that calls fetch_token in a loop, SIGKILLs it after a random delay of up to
--max-delay seconds, and then reads the tokens file: absent, or whole (the
four lines of a login, mode 0600); anything else is torn. The temporary
files (".tokens.*.tmp") left in the folder are counted at the end: no login
removes them meanwhile, as none is old enough.

--parent is where the folder is made (the system's temporary folder by
default): the file system decides how long a sync takes. --refuse makes the
killer's kernel refuse what tools/kernel_refusals.py names ("unnamed-files"
forces the way of writing of machines without O_TMPFILE). vandrel comes from
PYTHONPATH, so one checkout's tool measures another's build.

Prints one JSON object: the vandrel measured, kills, logins (requests the
server answered), loggers that died of something else than the kill, torn
files, leftovers (their number and sizes) and leftovers per kill.
"""

import argparse
import json
import os
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

TOOLS = os.path.dirname(os.path.abspath(__file__))
if TOOLS not in sys.path:
    sys.path.insert(0, TOOLS)

from account_server import AccountServer  # noqa: E402

EMAIL = "killed@example.org"
PASSWORD = "pw"
WHOLE = re.compile(r"\A\[TOKENS\]\naccess_token = \S+\nrefresh_token = \S+\n\n\Z")
TEMPORARY = re.compile(r"\A\.tokens\..*\.tmp\Z", re.S)


def tokens_file_state(path):
    """'absent', 'whole' or 'torn: <why>'."""
    try:
        with open(path, "rb") as f:
            content = f.read()
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        return "absent"
    try:
        whole = WHOLE.match(content.decode("utf-8")) is not None
    except UnicodeDecodeError:
        whole = False
    if not whole:
        return "torn: %r" % content[:200]
    if mode != 0o600:
        return "torn: mode %o" % mode
    return "whole"


def leftovers(folder):
    return sorted(name for name in os.listdir(folder) if TEMPORARY.match(name))


def killer(folder, url, kills, seed, max_delay, refuse):
    """Runs in the killer process; returns the report."""
    if refuse:
        import kernel_refusals
        kernel_refusals.refuse(*refuse)
    from vesk.tracking.lite_extensions import vandrel
    vandrel.TOKENS_FILE = os.path.join(folder, "tokens.file")
    vandrel.TALVERO_API_URL = url
    vandrel.fetch_token(EMAIL, PASSWORD)  # everything a login uses, loaded before the forks
    rng = random.Random(seed)
    died, torn, rounds_leaving = [], [], 0
    for _ in range(kills):
        delay = rng.uniform(0, max_delay)
        before = len(leftovers(folder))
        pid = os.fork()
        if pid == 0:
            try:
                while True:
                    vandrel.fetch_token(EMAIL, PASSWORD)
            finally:
                os._exit(3)  # only a failure ends the loop
        time.sleep(delay)
        os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        if not (os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL):
            died.append(status)
        state = tokens_file_state(vandrel.TOKENS_FILE)
        if state.startswith("torn"):
            torn.append(state)
        rounds_leaving += len(leftovers(folder)) > before
    left = leftovers(folder)
    return {"vandrel": vandrel.__file__, "kills": kills, "died_otherwise": died, "torn": torn,
            "leftovers": len(left), "rounds_leaving_files": rounds_leaving,
            "leftover_sizes": [os.lstat(os.path.join(folder, name)).st_size for name in left],
            "leftovers_per_kill": len(left) / float(kills) if kills else 0.0}


def run(kills=200, seed=1, max_delay=0.05, parent=None, refuse=(), env=None, keep=False):
    """Makes a folder under `parent`, runs the killer against a local server
    in a fresh interpreter (environment `env`) and returns its report; with
    `keep`, the folder stays and its path is in the report."""
    home = tempfile.mkdtemp(prefix="vesk-kills-", dir=parent)
    folder = os.path.join(home, ".talvero")
    os.mkdir(folder, 0o700)
    try:
        with AccountServer({EMAIL: PASSWORD}) as server:
            command = [sys.executable, os.path.abspath(__file__), "--killer", folder, server.url,
                       str(kills), str(seed), repr(max_delay)] + list(refuse)
            result = subprocess.run(command, env=env, cwd=home, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    universal_newlines=True, timeout=60 + kills * (max_delay + 1))
            logins = server.login_requests
        if result.returncode != 0:
            raise RuntimeError("the killer failed with status %d:\n%s"
                               % (result.returncode, result.stderr))
        report = json.loads(result.stdout.strip().splitlines()[-1])
        report["logins"] = logins
        if keep:
            report["folder"] = folder
        return report
    finally:
        if not keep:
            shutil.rmtree(home, ignore_errors=True)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--killer"]:
        folder, url, kills, seed, max_delay = argv[1:6]
        report = killer(folder, url, int(kills), int(seed), float(max_delay), argv[6:])
        print(json.dumps(report))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--max-delay", type=float, default=0.05,
                        help="longest wait before a kill, in seconds (default 0.05)")
    parser.add_argument("--parent", help="where to make the folder (default: the system's "
                        "temporary folder)")
    parser.add_argument("--refuse", nargs="*", default=[],
                        help="kernel refusals for the killer (see tools/kernel_refusals.py)")
    args = parser.parse_args(argv)
    report = run(args.kills, args.seed, args.max_delay, args.parent, args.refuse)
    print(json.dumps(report, sort_keys=True))
    return 1 if report["torn"] or report["died_otherwise"] else 0


if __name__ == "__main__":
    sys.exit(main())
