"""Threads that reach the modules at once: first imports, wrappers shared
while their metadata changes, logins racing token expiry. On a free-threaded
interpreter these truly run in parallel, and importing the modules must
leave the global lock off; `make check-tsan` runs this module under
ThreadSanitizer."""

import gc
import os
import re
import sys
import sysconfig
import textwrap
import threading
import unittest

from tests import support
from tests.test_token_concurrency import RecordingServer, secret_folder
from vesk.tracking.exceptions import MlflowException
from vesk.tracking.lite_extensions import vandrel

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_threads(count, target):
    """Runs target(index) in `count` threads released together; returns the
    exceptions they raised, formatted."""
    barrier = threading.Barrier(count)
    failures = []

    def run(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as exc:  # noqa: B902 - reported by the test
            failures.append("%s: %r" % (type(exc).__name__, exc))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return failures


@unittest.skipUnless(FREE_THREADED, "needs a free-threaded interpreter")
class GilTest(unittest.TestCase):
    def test_importing_keeps_the_gil_off(self):
        with support.temporary_home() as home:
            result = support.run_python(
                "import sys\n"
                "from vesk.tracking.lite_extensions import urls, vandrel\n"
                "print(sys._is_gil_enabled())", home,
                env={"PYTHON_GIL": None, "PYTHONWARNINGS": "error"})
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "False\n", ""))


class FirstImportTest(unittest.TestCase):
    def test_threads_import_at_once(self):
        code = textwrap.dedent("""
            import importlib, json, threading
            names = ["vesk.tracking.lite_extensions.vandrel", "vesk.tracking.lite_extensions.urls"]
            barrier = threading.Barrier(8)
            seen, failures = [], []

            def run(index):
                try:
                    barrier.wait()
                    module = importlib.import_module(names[index % 2])
                    vandrel = importlib.import_module(names[0])
                    wrapper = vandrel.catch_tarnel_exception(len)
                    seen.append((module.__name__, id(module), wrapper("abc"),
                                 vandrel.get_host_uri() is module.TRACKING_URI))
                except BaseException as exc:
                    failures.append(repr(exc))

            threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            print(json.dumps([sorted(set(seen)), failures]))
        """)
        for round_ in range(3):
            with self.subTest(round=round_), support.temporary_home() as home:
                seen, failures = support.run_json(self, code, home)
                self.assertEqual(failures, [])
                self.assertEqual(len(seen), 2, seen)  # one module object per name
                self.assertTrue(all(row[2] == 3 and row[3] for row in seen), seen)


class SharedWrapperTest(unittest.TestCase):
    """Threads call shared wrappers while others rewrite their metadata,
    decorate anew and collect: every call gives its own result, every read
    a value some thread wrote."""

    ROUNDS = 300

    def test_calls_and_metadata_at_once(self):
        def func(a, b=0):
            if a < 0:
                raise MlflowException("negative")
            return a + b

        wrappers = [vandrel.catch_tarnel_exception(func) for _ in range(4)]
        names = ["n%d" % i for i in range(8)]
        fields = [("__name__", names), ("__qualname__", names), ("__doc__", names + [None]),
                  ("__module__", names + [None]),
                  ("__annotations__", [{"a": int}, {}, {"b": str}, None])]
        if sys.version_info >= (3, 12):
            fields.append(("__type_params__", [(), ()]))
        if sys.version_info >= (3, 14):
            fields.append(("__annotate__", [None, lambda format: {"x": int}]))
        written = {name: values for name, values in fields}

        def caller(index):
            for i in range(self.ROUNDS):
                wrapper = wrappers[(index + i) % len(wrappers)]
                if wrapper(i, b=index) != i + index:
                    raise AssertionError("wrong result")
                try:
                    wrapper(-1)
                except MlflowException:
                    pass
                repr(wrapper)
                wrapper.__reduce__()

        def writer(index):
            for i in range(self.ROUNDS):
                wrapper = wrappers[i % len(wrappers)]
                name, values = fields[(index + i) % len(fields)]
                setattr(wrapper, name, values[i % len(values)])
                wrapper.__dict__ = {"round": i}
                annotations = wrapper.__annotations__
                if not isinstance(annotations, dict):
                    raise AssertionError(annotations)
                for read_name, values in written.items():
                    value = getattr(wrapper, read_name)
                    if read_name not in ("__annotations__", "__annotate__") \
                            and value not in values + [func.__name__, func.__qualname__,
                                                      func.__module__, func.__doc__]:
                        raise AssertionError((read_name, value))

        def decorator(index):
            for i in range(self.ROUNDS // 3):
                wrapper = vandrel.catch_tarnel_exception(func)
                if wrapper(i) != i:
                    raise AssertionError("wrong result")
                cycle = [wrapper]
                wrapper.cycle = cycle
                if i % 20 == 0:
                    gc.collect()

        roles = [caller, caller, caller, writer, writer, decorator, decorator, caller]
        failures = run_threads(len(roles), lambda index: roles[index](index))
        self.assertEqual(failures, [])


class TokenStormTest(unittest.TestCase):
    """Eight threads of one process call get_token while the server's tokens
    expire every few milliseconds."""

    THREADS = 8
    CALLS = 15

    def test_get_token_from_threads(self):
        with support.temporary_home() as home, \
                RecordingServer({"a@b.c": "pw"}, token_lifetime=0.003) as server:
            folder = secret_folder(home)
            tokens = []
            bindings = [support.rebound(vandrel, "SECRET_FILE", os.path.join(folder, "secret.file")),
                        support.rebound(vandrel, "TOKENS_FILE", os.path.join(folder, "tokens.file")),
                        support.rebound(vandrel, "TALVERO_API_URL", server.url)]
            for binding in bindings:
                binding.__enter__()
            try:
                failures = run_threads(
                    self.THREADS,
                    lambda index: tokens.extend(vandrel.get_token() for _ in range(self.CALLS)))
            finally:
                for binding in reversed(bindings):
                    binding.__exit__(None, None, None)
            issued = set(server.issued)
            with open(os.path.join(folder, "tokens.file")) as f:
                stored = f.read()
            self.assertEqual(sorted(os.listdir(folder)), ["secret.file", "tokens.file"])
        self.assertEqual(failures, [])
        self.assertEqual(len(tokens), self.THREADS * self.CALLS)
        self.assertLessEqual(set(tokens), issued)
        whole = re.match(r"\[TOKENS\]\naccess_token = (\S+)\nrefresh_token = \S+\n\n\Z", stored)
        self.assertIsNotNone(whole, stored)
        self.assertIn(whole.group(1), issued)

    def test_trickling_logins_from_threads(self):
        """Logins at once whose answers trickle: each is cut off at its own
        deadline (a watchdog thread per login shuts its socket down), or,
        on a slow machine, already while the head trickles in."""
        from unittest import mock
        from hostile_answers import HostileServer, login_body
        with support.temporary_home() as home, HostileServer() as server, \
                mock.patch.dict(os.environ, {"TALVERO_HTTP_TIMEOUT": "1"}):
            folder = secret_folder(home)
            for _ in range(self.THREADS):
                server.queue(HostileServer.trickle(login_body("a" * 60), 0.25))
            with support.rebound(vandrel, "TOKENS_FILE", os.path.join(folder, "tokens.file")), \
                    support.rebound(vandrel, "TALVERO_API_URL", server.url):
                failures = run_threads(self.THREADS,
                                       lambda index: vandrel.fetch_token("a@b.c", "pw"))
            self.assertEqual(os.listdir(folder), ["secret.file"])
        self.assertEqual(len(failures), self.THREADS)
        for failure in failures:
            self.assertRegex(failure, "^ReadTimeout: ")



# What the watchdog children share: the socket descriptors of the process
# that stand for the same socket twice (the watchdog's duplicate beside
# requests' own).
DOUBLED_SOCKETS = """
import json, os, sys, threading, time
from vesk.tracking.lite_extensions import vandrel
vandrel.TALVERO_API_URL = sys.argv[1]
vandrel.TOKENS_FILE = os.path.join(os.getcwd(), "tokens.file")

def doubled():
    seen = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink("/proc/self/fd/" + name)
        except OSError:
            continue
        if target.startswith("socket:"):
            seen[target] = seen.get(target, 0) + 1
    return sorted(target for target, count in seen.items() if count > 1)

def wait_for(condition, seconds=60):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()
"""


@unittest.skipUnless(os.path.isdir("/proc/self/fd"), "needs /proc")
class WatchdogCornersTest(unittest.TestCase):
    """The watchdog of a trickling login in a fork, and with its login's
    thread ended without unwinding."""

    def run_child(self, code, answer, timeout):
        from unittest import mock
        from hostile_answers import HostileServer
        with support.temporary_home() as home, HostileServer() as server, \
                mock.patch.dict(os.environ, {"TALVERO_HTTP_TIMEOUT": timeout}):
            server.queue(answer)
            result = support.run_json(self, DOUBLED_SOCKETS + textwrap.dedent(code), home,
                                      args=[server.url], env={"TALVERO_HTTP_TIMEOUT": timeout})
            return result, server.wait_played(1)

    def test_fork_keeps_no_descriptor_of_the_login(self):
        from hostile_answers import HostileServer, login_body
        code = """
            result = []
            login = threading.Thread(target=lambda: result.append(
                vandrel.fetch_token("a@b.c", "pw")))
            login.start()
            watched = wait_for(doubled)
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.write(write_end, json.dumps(doubled()).encode())
                os._exit(0)
            os.close(write_end)
            in_child = json.loads(os.read(read_end, 65536).decode())
            os.waitpid(pid, 0)
            login.join()
            print(json.dumps([bool(watched), in_child, result]))
        """
        (watched, in_child, result), played = self.run_child(
            code, HostileServer.trickle(login_body("tok"), 0.05), "60")
        self.assertEqual((watched, in_child, result), (True, [], ["tok"]))
        self.assertEqual(played, [True])

    def test_login_thread_ended_without_unwinding(self):
        """The login's thread ends in the middle of its reading (pthread_exit,
        as the interpreter ends a daemon thread at exit): the watchdog still
        shuts the socket down at the deadline and lets go of its duplicate,
        with nothing of its own on the stack that is gone."""
        from hostile_answers import HostileServer, login_body
        code = """
            import ctypes
            import urllib3.response
            libc = ctypes.CDLL(None)
            original = urllib3.response.HTTPResponse.read

            def read(self, *args, **kwargs):
                if threading.current_thread().name == "login":
                    # ctypes lets go of the global lock before the call.
                    libc.pthread_exit(None)
                return original(self, *args, **kwargs)

            urllib3.response.HTTPResponse.read = read
            threading.Thread(target=vandrel.fetch_token, args=("a@b.c", "pw"), name="login",
                             daemon=True).start()
            watched = wait_for(doubled)
            let_go = wait_for(lambda: not doubled())

            # Other threads take the stack memory the ended thread left.
            def deep(depth):
                return 0 if depth == 0 else deep(depth - 1) + 1
            workers = [threading.Thread(target=deep, args=(300,)) for _ in range(4)]
            for worker in workers:
                worker.start()
            for worker in workers:
                worker.join()
            print(json.dumps([bool(watched), let_go]))
        """
        (watched, let_go), played = self.run_child(
            code, HostileServer.trickle(login_body("a" * 40), 0.5), "2")
        self.assertEqual((watched, let_go), (True, True))
        self.assertEqual(played, [False])

if __name__ == "__main__":
    unittest.main()
