#!/usr/bin/env python3
"""The whole credentials round, end to end, on a throw-away home.

Starts the local account server with two demo users and stores the first
one's credentials with `vesk config` (which logs in once and caches that
token). Then drives get_token() in a child interpreter: an answer from the
cache, a login again after the server expired the token, the cache again,
the switch to the second account with `vesk config`, a login after `vesk
logout`, and, with the secret file gone, the guidance and exit status 1.
One row per step: the path taken (told by the server's counters), whose
token came back and the time get_token() took; what a step printed follows
its row.

Exits 0 when every step did what it says, 1 otherwise; the server and the
temporary home are cleaned up either way.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

TOOLS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TOOLS)
sys.path.insert(0, TOOLS)
from account_server import AccountServer  # noqa: E402

EMAIL = "demo@example.com"
PASSWORD = "s3cret 100%"
OTHER_EMAIL = "other@example.com"
OTHER_PASSWORD = "another:secret"
GUIDE = ("couldn't locate your credentials, please configure by typing "
         "`vesk config` in a terminal")

# Runs get_token() once per line read; SystemExit is left to end the
# program, as it would end a user's.
CHILD = r"""
import json, sys, time
from vesk.tracking.lite_extensions import vandrel
for _ in sys.stdin:
    start = time.perf_counter()
    try:
        token = vandrel.get_token()
    except Exception as error:
        print(json.dumps({"error": "%s: %s" % (type(error).__name__, error)}), flush=True)
        continue
    print(json.dumps({"token": token, "ms": (time.perf_counter() - start) * 1000}), flush=True)
"""

PATHS = {(1, 0): "login (no tokens file)", (0, 1): "cache (token accepted)",
         (1, 1): "check refused, login again"}


class Demo(object):
    def __init__(self):
        self.failed = False
        self.server = None
        self.home = None
        self.child = None

    def report(self, label, detail, ok, printed=""):
        self.failed = self.failed or not ok
        print("%-34s %-46s %s" % (label, detail, "ok" if ok else "FAILED"), flush=True)
        for line in printed.strip().splitlines():
            print("   printed: %s" % line, flush=True)

    def environment(self):
        environ = dict(os.environ)
        environ.update(HOME=self.home, TALVERO_API_URL=self.server.url,
                       PYTHONDONTWRITEBYTECODE="1",
                       PYTHONPATH=os.pathsep.join(
                           p for p in [ROOT, os.environ.get("PYTHONPATH", "")] if p))
        return environ

    def vesk(self, label, logins_wanted, *args):
        """Runs the vesk command; reports it with the logins it made."""
        logins = self.server.login_requests
        done = subprocess.run(
            [sys.executable, "-m", "vesk"] + list(args), env=self.environment(),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            universal_newlines=True, timeout=60)
        logins = self.server.login_requests - logins
        self.report(label, "exit status %d, %d login%s" % (
            done.returncode, logins, "" if logins == 1 else "s"),
            done.returncode == 0 and logins == logins_wanted, done.stdout)

    def set_up(self):
        self.server = AccountServer({EMAIL: PASSWORD, OTHER_EMAIL: OTHER_PASSWORD}).start()
        self.home = tempfile.mkdtemp(prefix="vesk-demo-")
        print("account server %s, users %s and %s, home %s"
              % (self.server.url, EMAIL, OTHER_EMAIL, self.home))
        self.vesk("vesk config (%s)" % EMAIL.split("@")[0], 1, "config", "--email", EMAIL,
                  "--password", PASSWORD)
        self.child = subprocess.Popen(
            [sys.executable, "-c", CHILD], env=self.environment(), cwd=self.home,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True, bufsize=1)

    def get_token(self):
        """One get_token() in the child: (answer, (logins, checks) it made)."""
        before = self.server.login_requests, self.server.authenticate_requests
        self.child.stdin.write("get_token\n")
        self.child.stdin.flush()
        line = self.child.stdout.readline()
        after = self.server.login_requests, self.server.authenticate_requests
        answer = json.loads(line) if line else {"error": "child ended"}
        return answer, (after[0] - before[0], after[1] - before[1])

    def step(self, label, expected_path, owner, previous=None, same_token=None):
        answer, exchanges = self.get_token()
        path = PATHS.get(exchanges, "%d logins, %d checks" % exchanges)
        if "error" in answer:
            self.report(label, answer["error"], False)
            return None
        whose = self.server.owner(answer["token"])
        ok = path == PATHS[expected_path] and whose == owner
        if same_token is not None:
            ok = ok and (answer["token"] == previous) == same_token
        self.report(label, "%-28s %-6s %6.1f ms" % (path, (whose or "?").split("@")[0],
                                                    answer["ms"]), ok)
        return answer["token"]

    def run(self):
        self.set_up()
        if self.failed:
            return
        first = self.step("1. get_token()", (0, 1), EMAIL)
        self.server.expire_all()
        second = self.step("2. get_token() after expire_all()", (1, 1), EMAIL, first,
                           same_token=False)
        self.step("3. get_token() again", (0, 1), EMAIL, second, same_token=True)
        self.vesk("4. vesk config (%s)" % OTHER_EMAIL.split("@")[0], 1, "config", "--email",
                  OTHER_EMAIL, "--password", OTHER_PASSWORD)
        self.step("   get_token()", (0, 1), OTHER_EMAIL)
        self.vesk("5. vesk logout", 0, "logout")
        self.step("   get_token()", (1, 0), OTHER_EMAIL)

        os.remove(os.path.join(self.home, ".talvero", "secret.file"))
        requests_before = len(self.server.recorded_requests)
        self.child.stdin.write("get_token\n")
        self.child.stdin.flush()
        output = self.child.stdout.read()
        status = self.child.wait(timeout=60)
        quiet = len(self.server.recorded_requests) == requests_before
        self.report("6. get_token(), secret file gone", "guidance, exit status %d" % status,
                    output == GUIDE + "\n" and status == 1 and quiet, output)

    def clean_up(self):
        if self.child is not None:
            if self.child.poll() is None:
                self.child.kill()
            self.child.wait()
            for stream in (self.child.stdin, self.child.stdout):
                try:
                    stream.close()
                except OSError:
                    pass
        if self.server is not None:
            self.server.stop()
        if self.home is not None:
            shutil.rmtree(self.home, ignore_errors=True)


def main():
    demo = Demo()
    try:
        demo.run()
    except Exception as error:  # a broken step still cleans up and fails
        demo.report("demo", "%s: %s" % (type(error).__name__, error), False)
    finally:
        demo.clean_up()
    print("demo %s" % ("FAILED" if demo.failed else "passed"))
    return 1 if demo.failed else 0


if __name__ == "__main__":
    sys.exit(main())
