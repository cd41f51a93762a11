#!/usr/bin/env python3
"""Logins killed with SIGKILL at random moments, as batch schedulers and
the OOM killer end training jobs: what do they leave beside the tokens file?

    python tools/kill_logins.py [--kills N] [--seed S] [--max-delay SECONDS]
                                [--parent DIR] [--refuse NAME ...]

Starts a local account server and a killer process (a fresh interpreter that
imports vandrel and logs in once). For each kill the killer forks a logger
that calls fetch_token in a loop, waits until the logger has begun its first
login, SIGKILLs it after a random delay, and then reads the tokens file:
absent, or whole (the four lines of a login, mode 0600); anything else is
torn. The temporary files (".tokens.*.tmp") left in the folder are counted
at the end: no login removes them meanwhile, as none is old enough.

The delay is drawn up to twice the time a logger's first login takes on
this machine at the moment, timed in loggers that are left to finish it
(three before the first kill, then one every ten kills): a loaded machine,
whose logins are slower, gets longer delays, and the kills still land
across a login's steps, about half of them in the logger's second login.
--max-delay draws from a fixed span instead.

--parent is where the folder is made (the system's temporary folder by
default): the file system decides how long a sync takes. --refuse makes the
killer's kernel refuse what tools/kernel_refusals.py names ("unnamed-files"
forces the way of writing of machines without O_TMPFILE). vandrel comes from
PYTHONPATH, so one checkout's tool measures another's build.

Prints one JSON object: the vandrel measured, kills, kills that landed
inside a login and those that landed after the logger had finished one,
logins (requests the server answered), the login time measured last,
loggers that died of something else than the kill, torn files, leftovers
(their number and sizes) and leftovers per kill.
"""
import argparse
import json
import os
import random
import re
import select
import shutil
import signal
import stat
import struct
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
# The longest delay before a kill, however slow the logins get.
MAX_SPAN = 5.0
# Kills between two timings of a login.
PROBE_EVERY = 10


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


def _median(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2]


def _logger(vandrel, pipe, logins=None):
    """The forked child: logs in `logins` times (until it is killed when
    None), telling the killer over `pipe` when each login begins ("s") and
    how long it took ("f" and 8 bytes of nanoseconds)."""
    status = 3  # only a failure ends an endless loop
    try:
        done = 0
        while logins is None or done < logins:
            os.write(pipe, b"s")
            start = time.monotonic()
            vandrel.fetch_token(EMAIL, PASSWORD)
            os.write(pipe, b"f" + struct.pack("<Q", int((time.monotonic() - start) * 1e9)))
            done += 1
        status = 0
    finally:
        os._exit(status)


def _fork_logger(vandrel, logins=None):
    """(pid, read end of its pipe) of a new logger."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reader)
        _logger(vandrel, writer, logins)
    os.close(writer)
    return pid, reader


def _first_login_time(vandrel):
    """How long a forked logger's first login takes: the span the kills
    are drawn from, measured as they are made."""
    pid, reader = _fork_logger(vandrel, logins=1)
    try:
        messages = _read_all(reader)
    finally:
        os.close(reader)
    _, status = os.waitpid(pid, 0)
    times = _logins_seen(messages)[1]
    if status != 0 or not times:
        raise RuntimeError("a login failed while it was timed (status %d)" % status)
    return times[0]


def _read_all(fd):
    chunks = []
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def _wait_for_start(fd, pid, timeout=120.0):
    """Waits for the logger's first "s": its first login has begun."""
    ready = select.select([fd], [], [], timeout)[0]
    if not ready or os.read(fd, 1) != b"s":
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        raise RuntimeError("the logger did not begin a login within %d s" % timeout)


def _logins_seen(messages):
    """(logins begun, login times in seconds) in what a logger sent."""
    begun, times, at = 0, [], 0
    while at < len(messages):
        if messages[at:at + 1] == b"s":
            begun += 1
            at += 1
        elif messages[at:at + 1] == b"f" and at + 9 <= len(messages):
            times.append(struct.unpack("<Q", messages[at + 1:at + 9])[0] / 1e9)
            at += 9
        else:
            break
    return begun, times


def killer(folder, url, kills, seed, max_delay, refuse):
    """Runs in the killer process; returns the report. `max_delay` None:
    delays scaled to the login time measured as the kills go."""
    if refuse:
        import kernel_refusals
        kernel_refusals.refuse(*refuse)
    from vesk.tracking.lite_extensions import vandrel
    vandrel.TOKENS_FILE = os.path.join(folder, "tokens.file")
    vandrel.TALVERO_API_URL = url
    vandrel.fetch_token(EMAIL, PASSWORD)  # everything a login uses, loaded before the forks
    recent = [_first_login_time(vandrel) for _ in range(3)]
    rng = random.Random(seed)
    died, torn, rounds_leaving = [], [], 0
    inside, after_one = 0, 0
    for kill in range(kills):
        if kill and kill % PROBE_EVERY == 0:
            recent.append(_first_login_time(vandrel))
        login_time = _median(recent[-5:])
        span = max_delay if max_delay is not None else min(2 * login_time, MAX_SPAN)
        delay = rng.uniform(0, span)
        before = len(leftovers(folder))
        pid, reader = _fork_logger(vandrel)
        try:
            _wait_for_start(reader, pid)
            time.sleep(delay)
            os.kill(pid, signal.SIGKILL)
            _, status = os.waitpid(pid, 0)
            begun, times = _logins_seen(b"s" + _read_all(reader))
        finally:
            os.close(reader)
        if not (os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL):
            died.append(status)
        inside += begun > len(times)
        after_one += len(times) > 0
        state = tokens_file_state(vandrel.TOKENS_FILE)
        if state.startswith("torn"):
            torn.append(state)
        rounds_leaving += len(leftovers(folder)) > before
    left = leftovers(folder)
    return {"vandrel": vandrel.__file__, "kills": kills, "kills_inside_login": inside,
            "kills_after_a_login": after_one, "login_seconds": _median(recent[-5:]),
            "died_otherwise": died, "torn": torn,
            "leftovers": len(left), "rounds_leaving_files": rounds_leaving,
            "leftover_sizes": [os.lstat(os.path.join(folder, name)).st_size for name in left],
            "leftovers_per_kill": len(left) / float(kills) if kills else 0.0}


def run(kills=200, seed=1, max_delay=None, parent=None, refuse=(), env=None, keep=False):
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
            span = MAX_SPAN if max_delay is None else max_delay
            result = subprocess.run(command, env=env, cwd=home, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    universal_newlines=True, timeout=120 + kills * (span + 5))
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
        max_delay = None if max_delay == "None" else float(max_delay)
        report = killer(folder, url, int(kills), int(seed), max_delay, argv[6:])
        print(json.dumps(report))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--max-delay", type=float, default=None,
                        help="longest wait before a kill, in seconds (default: twice "
                        "the time a login takes, measured as the kills go)")
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
