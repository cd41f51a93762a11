import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")
sys.path.insert(0, TOOLS)
import account_server  # noqa: E402
from account_server import AccountServer, AccountServerProcess  # noqa: E402

SCRIPT = os.path.join(TOOLS, "account_server.py")


def call(url, method="GET", form=None, token=None, headers=()):
    data = urllib.parse.urlencode(form).encode() if form is not None else None
    req = urllib.request.Request(url, data=data, method=method, headers=dict(headers))
    if token is not None:
        req.add_header("Authorization", "Bearer " + token)
    try:
        with urllib.request.urlopen(req, timeout=10) as resp:
            return resp.status, resp.headers.get("Content-Type"), resp.read()
    except urllib.error.HTTPError as err:
        with err:
            return err.code, err.headers.get("Content-Type"), err.read()


def reap(proc):
    proc.kill()  # no-op once the process has been waited for
    if proc.stdout.closed:
        proc.wait()
    else:
        proc.communicate()


class AccountServerTest(unittest.TestCase):
    def setUp(self):
        self.server = AccountServer({"a@b.c": "pw", "x@y.z": "p:w é"}).start()
        self.addCleanup(self.server.stop)

    def login(self, **form):
        status, ctype, body = call(self.server.url + "/auth/login", "POST", form)
        self.assertEqual(ctype, "application/json")
        return status, json.loads(body.decode())

    def authenticate(self, token=None, **kw):
        status, _, body = call(self.server.url + "/auth/authenticate", token=token, **kw)
        return status, json.loads(body.decode())

    def test_login(self):
        tokens = set()
        for email, password in [("a@b.c", "pw"), ("x@y.z", "p:w é"), ("a@b.c", "pw")]:
            status, answer = self.login(email=email, password=password)
            self.assertEqual(status, 200)
            tokens.update([answer["access_token"], answer["refresh_token"]])
        self.assertEqual(len(tokens), 6)
        for form in [dict(email="a@b.c", password="PW"), dict(email="b@b.c", password="pw"),
                     dict(email="a@b.c"), dict(password="pw"), {}, dict(email="", password="")]:
            with self.subTest(form=form):
                self.assertEqual(self.login(**form), (401, {"message": "invalid email or password"}))
        self.assertEqual(self.server.login_requests, 9)

    def test_authenticate(self):
        answer = self.login(email="a@b.c", password="pw")[1]
        self.assertEqual(self.authenticate(answer["access_token"]), (200, {"message": "ok"}))
        conn = http.client.HTTPConnection("127.0.0.1", int(self.server.url.rsplit(":", 1)[1]))
        conn.request("GET", "/auth/authenticate", headers={"authorization": "bearer " + answer["access_token"]})
        self.assertEqual(conn.getresponse().status, 200)
        conn.close()
        self.assertIn(("authorization", "bearer " + answer["access_token"]),
                      self.server.recorded_requests[-1].headers)
        for header in ["Bearer " + answer["refresh_token"], "Bearer unknown", "Bearer",
                       "Basic " + answer["access_token"], answer["access_token"], None]:
            with self.subTest(header=header):
                status, body = self.authenticate(headers={"Authorization": header} if header else {})
                self.assertEqual(status, 401)
                self.assertIn("message", body)
        self.assertEqual((self.server.login_requests, self.server.authenticate_requests), (1, 8))

    def test_expiry(self):
        self.server.token_lifetime = 0.0
        token = self.login(email="a@b.c", password="pw")[1]["access_token"]
        self.assertEqual(self.authenticate(token)[0], 401)
        # A check sent within the lifetime is accepted, one after it refused.
        # A loaded machine may take longer than the lifetime between the
        # login and the check: such a round proves nothing and is tried again.
        self.server.token_lifetime = 1.0
        for _ in range(10):
            start = time.monotonic()
            token = self.login(email="a@b.c", password="pw")[1]["access_token"]
            status = self.authenticate(token)[0]
            if time.monotonic() - start < 1.0:
                self.assertEqual(status, 200)
                break
        else:
            self.skipTest("no login and check within a second: the machine is too busy")
        time.sleep(1.1)
        self.assertEqual(self.authenticate(token)[0], 401)
        self.server.token_lifetime = 3600
        old = [self.login(email="a@b.c", password="pw")[1]["access_token"] for _ in range(2)]
        self.server.expire_all()
        new = self.login(email="a@b.c", password="pw")[1]["access_token"]
        self.assertEqual([self.authenticate(t)[0] for t in old + [new]], [401, 401, 200])

    def test_revoke_and_clear_records(self):
        token = self.login(email="a@b.c", password="pw")[1]["access_token"]
        self.server.clear_records()
        self.assertEqual(self.server.recorded_requests, [])
        self.server.revoke_all()
        self.assertEqual(self.authenticate(token)[0], 401)
        self.assertEqual(len(self.server.recorded_requests), 1)
        self.assertEqual((self.server.login_requests, self.server.authenticate_requests), (1, 1))

    def test_queued_and_other_answers(self):
        self.server.queue_response("/auth/login", 500, b'{"message": "down"}')
        self.server.queue_response("/auth/login", 203, "plain", content_type="text/plain")
        self.server.queue_response("/auth/authenticate", 401, {"message": "nope"})
        url = self.server.url
        self.assertEqual(call(url + "/auth/login", "POST", {"email": "a@b.c", "password": "pw"}),
                         (500, "application/json", b'{"message": "down"}'))
        self.assertEqual(call(url + "/auth/login", "GET"), (203, "text/plain", b"plain"))
        self.assertEqual(self.login(email="a@b.c", password="pw")[0], 200)
        self.assertEqual(self.authenticate("whatever"), (401, {"message": "nope"}))
        for method, path, status in [("GET", "/", 404), ("POST", "/auth/logout", 404),
                                     ("GET", "/auth/login", 405), ("POST", "/auth/authenticate", 405)]:
            with self.subTest(path=path, method=method):
                self.assertEqual(call(url + path, method, {} if method == "POST" else None)[0], status)
        first = self.server.recorded_requests[0]
        self.assertEqual((first.method, first.path, first.body), ("POST", "/auth/login", b"email=a%40b.c&password=pw"))
        self.assertEqual(len(self.server.recorded_requests), 8)

    def test_concurrent_clients(self):
        results = []

        def client():
            for _ in range(5):
                token = self.login(email="a@b.c", password="pw")[1]["access_token"]
                results.append((token, self.authenticate(token)[0]))

        threads = [threading.Thread(target=client) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(len({token for token, _ in results}), 40)
        self.assertEqual({status for _, status in results}, {200})
        self.assertEqual((self.server.login_requests, self.server.authenticate_requests), (40, 40))


def stop_detached(pid_file):
    """SIGTERM to the process named in `pid_file`, if it still runs."""
    try:
        with open(pid_file) as f:
            os.kill(int(f.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass


class CommandLineTest(unittest.TestCase):
    def test_help_describes_every_option_and_the_users_file(self):
        done = subprocess.run([sys.executable, SCRIPT, "--help"], stdout=subprocess.PIPE,
                              universal_newlines=True, timeout=60)
        self.assertEqual(done.returncode, 0)
        for action in account_server._build_parser()._actions:
            with self.subTest(option=action.option_strings):
                self.assertTrue(action.help)
                for option in action.option_strings:
                    self.assertIn(option, done.stdout)
        for words in ("POST /auth/login", "GET  /auth/authenticate", "TALVERO_API_URL",
                      "users file (--users-file): UTF-8 text, one account per line",
                      "split at its first colon", "starting with # are skipped"):
            self.assertIn(words, done.stdout)

    def test_warns_when_started_without_users(self):
        with tempfile.NamedTemporaryFile("w", suffix=".users", delete=False) as f:
            f.write("# nobody yet\n\n")
        self.addCleanup(os.unlink, f.name)
        for args in ([], ["--users-file", f.name]):
            with self.subTest(args=args):
                proc = subprocess.Popen([sys.executable, SCRIPT] + args, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, universal_newlines=True)
                self.addCleanup(reap, proc)
                self.assertRegex(proc.stdout.readline(), r"^http://127\.0\.0\.1:\d+$")
                proc.send_signal(signal.SIGTERM)
                out, err = proc.communicate(timeout=10)
                self.assertEqual((proc.returncode, out), (0, ""))
                self.assertEqual(err, "account_server.py: warning: no users, so every login "
                                      "is refused; add --user EMAIL:PASSWORD or --users-file "
                                      "FILE\n")

    def test_detach_returns_and_serves_until_killed(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        pid_file = os.path.join(folder, "server.pid")
        self.addCleanup(stop_detached, pid_file)
        # Through a shell's $(...), as the README does: it must return.
        done = subprocess.run(
            ["sh", "-c", 'url=$("$@") && echo "$url"', "sh", sys.executable, SCRIPT, "--detach",
             "--pid-file", pid_file, "--user", "a@b.c:pw"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=20)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        url = done.stdout.strip()
        self.assertRegex(url, r"^http://127\.0\.0\.1:\d+$")
        with open(pid_file) as f:
            pid = int(f.read())
        form = {"email": "a@b.c", "password": "pw"}
        self.assertEqual(call(url + "/auth/login", "POST", form)[0], 200)
        os.kill(pid, signal.SIGTERM)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(urllib.parse.urlsplit(url)[1].split(":"), 5).close()
            except ConnectionRefusedError:
                break  # nothing listens any more
            except ConnectionResetError:
                pass  # closed while the connection waited in its queue
            time.sleep(0.1)
        else:
            self.fail("the detached server still listens after SIGTERM")

    def test_serves_until_signalled(self):
        with tempfile.NamedTemporaryFile("w", suffix=".users", delete=False) as f:
            f.write("# accounts\n\n  c@d.e:sec:ret  \n")
        self.addCleanup(os.unlink, f.name)
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig):
                proc = subprocess.Popen(
                    [sys.executable, os.path.join(TOOLS, "account_server.py"), "--port", "0",
                     "--user", "a@b.c:pw", "--users-file", f.name, "--token-lifetime", "60"],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
                self.addCleanup(reap, proc)
                watchdog = threading.Timer(20, proc.kill)
                watchdog.start()
                self.addCleanup(watchdog.cancel)
                url = proc.stdout.readline().strip()
                self.assertRegex(url, r"^http://127\.0\.0\.1:\d+$")
                for email, password, status in [("a@b.c", "pw", 200), ("c@d.e", "sec:ret", 200),
                                                ("c@d.e", "sec", 401)]:
                    form = {"email": email, "password": password}
                    self.assertEqual(call(url + "/auth/login", "POST", form)[0], status)
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=10)
                self.assertEqual((proc.returncode, out, err), (0, "", ""))


class AccountServerProcessTest(unittest.TestCase):
    """The server in a child process, driven through --control."""

    def test_commands_and_end_of_input(self):
        server = AccountServerProcess({"a@b.c": "p:w é"}, token_lifetime=60).start()
        self.addCleanup(server.stop)
        process = server._process
        self.assertRegex(server.url, r"^http://127\.0\.0\.1:\d+$")

        def login():
            status, _, body = call(server.url + "/auth/login", "POST",
                                   {"email": "a@b.c", "password": "p:w é"})
            return status, json.loads(body.decode())

        def authenticate(token):
            return call(server.url + "/auth/authenticate", token=token)[0]

        status, answer = login()
        self.assertEqual(status, 200)
        token = answer["access_token"]
        self.assertEqual(authenticate(token), 200)
        server.expire_all()
        self.assertEqual(authenticate(token), 401)
        token = login()[1]["access_token"]
        server.revoke_all()
        self.assertEqual(authenticate(token), 401)
        server.queue_response("/auth/login", 500, {"message": "down"})
        server.queue_response("/auth/login", 200, b"not json", "text/plain")
        self.assertEqual(login(), (500, {"message": "down"}))
        self.assertEqual(call(server.url + "/auth/login", "POST", {})[1:],
                         ("text/plain", b"not json"))
        self.assertEqual(login()[0], 200)
        server.clear_records()
        server.stop()  # the end of its input
        self.assertEqual(process.returncode, 0)


if __name__ == "__main__":
    unittest.main()
