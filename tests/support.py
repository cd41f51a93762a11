"""What the test modules share: the tree under test, fresh interpreters with a
controlled environment, and the local account server."""

import contextlib
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = os.path.join(ROOT, "tools")

# Set by `make test-installed` to the environment (a venv) whose installed
# vesk the suite is to test. That run is made from a copy of tests/ and
# tools/ alone, and ROOT is then kept off the search paths: nothing but the
# installed copy can provide vesk.
INSTALLED = os.environ.get("VESK_TEST_INSTALLED") or None

for _folder in (TOOLS,) if INSTALLED else (ROOT, TOOLS):
    if _folder not in sys.path:
        sys.path.insert(0, _folder)


def needs_checkout(why):
    """Skips a test that needs the checkout when the installed copy is tested."""
    return unittest.skipIf(INSTALLED, "needs a checkout: " + why)


def within(path, folder):
    folder = os.path.realpath(folder)
    return os.path.realpath(path).startswith(folder.rstrip(os.sep) + os.sep)


if INSTALLED:
    import vesk
    if not within(vesk.__file__, INSTALLED):
        raise ImportError("vesk comes from %s, not from the installed copy in %s"
                          % (os.path.dirname(vesk.__file__), INSTALLED))

# Variables a child interpreter keeps from ours: what the checked builds
# (sanitizer runtimes, allocator), the free-threaded build's GIL mode and
# the platform need, nothing else.
_PASSED_ON = ("PATH", "LANG", "LC_ALL", "LC_CTYPE", "LD_PRELOAD", "ASAN_OPTIONS",
              "UBSAN_OPTIONS", "TSAN_OPTIONS", "PYTHONMALLOC", "PYTHON_GIL", "SYSTEMROOT")


def search_path():
    """The module search path of the run: the tree under test first."""
    inherited = os.environ.get("PYTHONPATH", "")
    first = [] if INSTALLED else [ROOT]
    return os.pathsep.join(p for p in first + inherited.split(os.pathsep) if p)


def vesk_command():
    """The command line that runs `vesk`: the installed command, or the
    checkout's package through `python -m vesk`."""
    if INSTALLED:
        return [os.path.join(INSTALLED, "bin", "vesk")]
    return [sys.executable, "-m", "vesk"]


def child_environment(home, **overrides):
    """A minimal environment with HOME set; an override of None removes."""
    environ = {name: os.environ[name] for name in _PASSED_ON if name in os.environ}
    environ["PYTHONPATH"] = search_path()
    environ["PYTHONDONTWRITEBYTECODE"] = "1"
    environ["HOME"] = home
    for name, value in overrides.items():
        if value is None:
            environ.pop(name, None)
        else:
            environ[name] = value
    return environ


def run_python(code, home, env=None, args=(), timeout=120, cwd=None, stdin=None):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    environ = child_environment(home, **(env or {}))
    return subprocess.run([sys.executable, "-c", code] + list(args), env=environ,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout, cwd=cwd or home,
                          stdin=stdin if stdin is not None else subprocess.DEVNULL)


def run_json(testcase, code, home, **kwargs):
    """Runs `code`, which prints one JSON document last; returns it decoded."""
    result = run_python(code, home, **kwargs)
    testcase.assertEqual(result.returncode, 0, result.stderr)
    return json.loads(result.stdout.strip().splitlines()[-1])


@contextlib.contextmanager
def temporary_home():
    folder = tempfile.mkdtemp(prefix="vesk-home-")
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def tree_snapshot(folder):
    """Every path below `folder`, to see what a step created."""
    found = []
    for base, dirs, files in os.walk(folder):
        found.extend(os.path.relpath(os.path.join(base, n), folder) for n in dirs + files)
    return sorted(found)


def assert_no_leak(testcase, action, calls=200, rounds=8):
    """Runs `action` `calls` times per round and fails when the interpreter's
    total reference count grows by half a reference a call or more in every
    one of `rounds` rounds (debug interpreters only); the first round that
    grows less ends the check. A leak grows in every round. The interpreter
    warming up does not: from 3.14 a path of many Python calls (a login, a
    token check) grows for some hundred calls before it settles, the same
    whether the module or its Python twin runs it.
    `action` may raise; the exception is part of the path under test."""
    import gc
    if not hasattr(sys, "gettotalrefcount"):
        testcase.skipTest("needs a debug interpreter (sys.gettotalrefcount)")

    def one_round():
        for _ in range(calls):
            try:
                action()
            except BaseException:  # noqa: B902 - error paths are measured too
                pass
        gc.collect()

    one_round()  # warm caches: interned strings, method caches, imports
    growth = []
    for _ in range(rounds):
        before = sys.gettotalrefcount()
        one_round()
        growth.append(sys.gettotalrefcount() - before)
        if growth[-1] < calls // 2:
            return
    testcase.fail("reference count grew by %r over %d-call rounds" % (growth, calls))


ABSENT = object()


@contextlib.contextmanager
def rebound(namespace, name, value):
    """Binds `name` in a module to `value` (deletes it for ABSENT) for the
    length of the block, then puts back what was there."""
    old = namespace.__dict__.get(name, ABSENT)
    if value is ABSENT:
        namespace.__dict__.pop(name, None)
    else:
        setattr(namespace, name, value)
    try:
        yield
    finally:
        if old is ABSENT:
            namespace.__dict__.pop(name, None)
        else:
            setattr(namespace, name, old)


class SilentServer(object):
    """A TCP server on 127.0.0.1 that never answers.

    accepting=True: every connection is taken and held, unread, until the
    server stops: a client's request is sent and its answer never comes.
    accepting=False: the listener's queue is kept full and nothing is
    taken from it, so a new connection is never established (Linux drops
    the handshake of a full listener)."""

    def __init__(self, accepting=True):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._held = []
        self._lock = threading.Lock()
        self._connections = 0
        self._thread = None
        if accepting:
            self._listener.listen(16)
            self._listener.settimeout(0.05)
            self._running = True
            self._thread = threading.Thread(target=self._accept, name="silent-server",
                                            daemon=True)
            self._thread.start()
        else:
            self._listener.listen(0)
            self._fill_queue()

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self._listener.getsockname()[1]

    @property
    def connections(self):
        """How many connections were taken (accepting servers only)."""
        with self._lock:
            return self._connections

    def _accept(self):
        while self._running:
            try:
                connection = self._listener.accept()[0]
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self._held.append(connection)
                self._connections += 1

    def _fill_queue(self):
        for _ in range(16):
            client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            client.settimeout(0.3)
            try:
                client.connect(self._listener.getsockname())
            except socket.timeout:
                client.close()
                return
            self._held.append(client)
        raise RuntimeError("the listener's queue did not fill up")

    def stop(self):
        if self._thread is not None:
            self._running = False
            self._thread.join()
            self._thread = None
        with self._lock:
            for connection in self._held:
                connection.close()
            del self._held[:]
        self._listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()
