"""Several processes, each with two threads, calling get_token against one
account server whose tokens expire every few calls: every call returns a
token the server issued, and none fails (a reader racing the atomic replace
sees the old file or the new one, never part of one)."""

import json
import os
import subprocess
import sys
import threading
import unittest

from tests import support
from account_server import AccountServer

PROCESSES = 4
THREADS = 2
CALLS = 25

CHILD = r"""
import json, sys, threading, traceback
from vesk.tracking.lite_extensions import vandrel

calls = int(sys.argv[1])
results, failures = [], []

def worker():
    for _ in range(calls):
        try:
            results.append(vandrel.get_token())
        except BaseException:
            failures.append(traceback.format_exc())

threads = [threading.Thread(target=worker) for _ in range(int(sys.argv[2]))]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(json.dumps({"tokens": results, "failures": failures}))
"""


class RecordingServer(AccountServer):
    """The account server, remembering every access token it hands out."""

    def __init__(self, *args, **kwargs):
        super(RecordingServer, self).__init__(*args, **kwargs)
        self.issued = set()
        self._issued_lock = threading.Lock()

    def _login(self, body):
        status, answer = super(RecordingServer, self)._login(body)
        if status == 200:
            with self._issued_lock:
                self.issued.add(answer["access_token"])
        return status, answer


def secret_folder(home):
    """Makes HOME/.talvero with the secret file of the account a@b.c; returns it."""
    folder = os.path.join(home, ".talvero")
    os.mkdir(folder)
    with open(os.path.join(folder, "secret.file"), "w") as f:
        f.write("[secret]\nemail = a@b.c\npassword = pw\n")
    return folder


class ConcurrentGetTokenTest(unittest.TestCase):
    def test_processes_and_threads_share_one_tokens_file(self):
        with support.temporary_home() as home, \
                RecordingServer({"a@b.c": "pw"}, token_lifetime=0.05) as server:
            folder = secret_folder(home)
            environ = support.child_environment(home, TALVERO_API_URL=server.url)
            children = [subprocess.Popen(
                [sys.executable, "-c", CHILD, str(CALLS), str(THREADS)], env=environ, cwd=home,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
                for _ in range(PROCESSES)]
            outputs = []
            try:
                for child in children:
                    outputs.append(child.communicate(timeout=300) + (child.returncode,))
            finally:
                for child in children:
                    child.kill()
                    child.wait()
            self.assertEqual(sorted(os.listdir(folder)), ["secret.file", "tokens.file"])
            logins = server.login_requests
            issued = set(server.issued)

        for stdout, stderr, returncode in outputs:
            self.assertEqual(returncode, 0, stderr)
            report = json.loads(stdout)
            self.assertEqual(report["failures"], [])
            self.assertEqual(len(report["tokens"]), CALLS * THREADS)
            self.assertLessEqual(set(report["tokens"]), issued)
        self.assertGreater(logins, PROCESSES, "tokens should have expired and been renewed")


if __name__ == "__main__":
    unittest.main()
