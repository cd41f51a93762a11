"""fetch_token and expired_token: what goes over the wire, the tokens file,
the refusals and failures, and the mended behaviour (percent signs, the
atomic private write, the optional time-out)."""

import configparser
import errno
import json
import os
import stat
import subprocess
import sys
import textwrap
import time
import types
import unittest
from unittest import mock

from tests import support
from tests.token_fixtures import (DEFAULT_TIMEOUT, EMAIL, PASSWORD, TIMEOUT_VARIABLE,
                                  FakeRequests, FakeResponse, LeakCase, VandrelCase,
                                  tokens_text, vandrel)

LOGIN = "/auth/login"
AUTHENTICATE = "/auth/authenticate"


class FetchTokenTest(VandrelCase):
    def login_answer(self, access, refresh):
        self.server.queue_response(LOGIN, 200, {"access_token": access, "refresh_token": refresh,
                                                "expires_in": 60})

    def test_login_form_on_the_wire(self):
        rows = [(EMAIL, PASSWORD, b"email=a%40b.c&password=pw"),
                ("x y@z", "p w&=%", b"email=x+y%40z&password=p+w%26%3D%25"),
                ("", "", b"email=&password=")]
        for email, password, body in rows:
            with self.subTest(email=email):
                self.login_answer("a", "r")
                vandrel.fetch_token(email, password)
                request = self.server.recorded_requests[-1]
                headers = {name.lower(): value for name, value in request.headers}
                self.assertEqual((request.method, request.path, request.body),
                                 ("POST", LOGIN, body))
                self.assertEqual(headers["content-type"], "application/x-www-form-urlencoded")
                self.assertNotIn("authorization", headers)

    def test_exact_tokens_file(self):
        self.write(self.tokens_file, "[OLD]\nx = 1\n[TOKENS]\naccess_token = old\nextra = 2\n")
        self.assertEqual(vandrel.fetch_token(email=EMAIL, password=PASSWORD),
                         self.read_back()["access_token"])
        with open(self.tokens_file, "rb") as f:
            lines = f.read().decode().split("\n")
        self.assertEqual(len(lines), 5)
        self.assertEqual((lines[0], lines[3], lines[4]), ("[TOKENS]", "", ""))
        self.assertRegex(lines[1], r"^access_token = [A-Za-z0-9_-]{20,}$")
        self.assertRegex(lines[2], r"^refresh_token = [A-Za-z0-9_-]{20,}$")

    def read_back(self):
        parser = configparser.ConfigParser()
        parser.read(self.tokens_file)
        self.assertEqual(parser.sections(), ["TOKENS"])
        return parser["TOKENS"]

    def test_token_values_round_trip(self):
        rows = [  # (server's access, server's refresh, stored access, stored refresh, returned)
            ("plain", "r", "plain", "r", "plain"),
            ("ab%%cd", "50%", "ab%%%%cd", "50%%", "ab%%cd"),
            ("%(refresh_token)s", "%", "%%(refresh_token)s", "%%", "%(refresh_token)s"),
            (12, 3.5, "12", "3.5", "12"),
            ([1, "%"], True, "[1, '%%']", "True", "[1, '%']"),
            ("", "two\nlines", "", "two\n\tlines", ""),
        ]
        for access, refresh, stored_access, stored_refresh, returned in rows:
            with self.subTest(access=access, refresh=refresh):
                self.login_answer(access, refresh)
                self.assertEqual(vandrel.fetch_token(EMAIL, PASSWORD), returned)
                self.assertEqual(self.read(self.tokens_file),
                                 tokens_text(stored_access, stored_refresh))
                stored = self.read_back()
                self.assertEqual(stored["access_token"], returned)
                self.assertEqual(stored["refresh_token"],
                                 refresh if isinstance(refresh, str) else str(refresh))

    def test_refusals_and_bad_answers_leave_the_file(self):
        html = "text/html"
        rows = [  # (status, body, content type, exception, its args or None)
            (401, {"message": "nope"}, None, vandrel.LoginError, ("nope",)),
            (201, {"message": "created?"}, None, vandrel.LoginError, ("created?",)),
            (500, {"message": ["x", 1]}, None, vandrel.LoginError, (["x", 1],)),
            (204, b"", None, ValueError, None),
            (403, {"error": "x"}, None, KeyError, ("message",)),
            (500, b"<html>oops</html>", html, ValueError, None),
            (401, ["message"], None, TypeError, None),
            (200, b"not json", html, ValueError, None),
            (200, {"refresh_token": "r"}, None, KeyError, ("access_token",)),
            (200, {"access_token": "a"}, None, KeyError, ("refresh_token",)),
            (200, {}, None, KeyError, ("access_token",)),
            (200, {"access_token": None, "refresh_token": "r"}, None, TypeError, None),
            (200, {"access_token": "a", "refresh_token": None}, None, TypeError, None),
        ]
        old = tokens_text("old", "older")
        self.write(self.tokens_file, old)
        for status, body, ctype, error, args in rows:
            with self.subTest(status=status, body=body):
                self.server.queue_response(LOGIN, status, body, ctype or "application/json")
                with self.assertRaises(error) as caught:
                    vandrel.fetch_token(EMAIL, PASSWORD)
                if error is not ValueError:  # the JSON decoding error is a subclass
                    self.assertIs(type(caught.exception), error)
                if args is not None:
                    self.assertEqual(caught.exception.args, args)
                self.assertEqual(self.read(self.tokens_file), old)
                self.assertEqual(self.listing(), ["secret.file", "tokens.file"])
        with self.assertRaisesRegex(vandrel.LoginError, "^invalid email or password$"):
            vandrel.fetch_token(EMAIL, "wrong")

    def test_login_error_taken_from_the_module_namespace(self):
        class Refused(Exception):
            pass
        self.rebind("LoginError", Refused)
        with self.assertRaises(Refused) as caught:
            vandrel.fetch_token(EMAIL, "wrong")
        self.assertEqual(caught.exception.args, ("invalid email or password",))

    def test_json_decoded_once_per_member(self):
        for status, body, calls in ((200, {"access_token": "a", "refresh_token": "r"}, 2),
                                    (401, {"message": "m"}, 1)):
            with self.subTest(status=status):
                answer = FakeResponse(status, body)
                self.rebind("requests", FakeRequests(answer))
                try:
                    vandrel.fetch_token(EMAIL, PASSWORD)
                except vandrel.LoginError:
                    pass
                self.assertEqual(answer.json_calls, calls)

    def test_status_compared_for_inequality_with_200(self):
        self.write(self.tokens_file, tokens_text("tok", "r"))
        for status, accepted in ((200, True), (200.0, True), (199, False), ("200", False)):
            with self.subTest(status=status):
                body = {"access_token": "a", "refresh_token": "r", "message": "m"}
                self.rebind("requests", FakeRequests(FakeResponse(status, body),
                                                     FakeResponse(status, body)))
                self.assertIs(vandrel.expired_token(), not accepted)
                if accepted:
                    self.assertEqual(vandrel.fetch_token(EMAIL, PASSWORD), "a")
                else:
                    with self.assertRaisesRegex(vandrel.LoginError, "^m$"):
                        vandrel.fetch_token(EMAIL, PASSWORD)

    def test_the_exact_request_call(self):
        for base in ("https://api.example", "https://api.example/"):
            with self.subTest(base=base):
                fake = FakeRequests(FakeResponse(200, {"access_token": "a", "refresh_token": "r"}))
                self.rebind("requests", fake)
                self.rebind("TALVERO_API_URL", base)
                vandrel.fetch_token(EMAIL, PASSWORD)
                (method, args, kwargs), = fake.calls
                self.assertEqual((method, args, list(kwargs)),
                                 ("post", (base + LOGIN,), ["data", "timeout"]))
                self.assertEqual(kwargs["timeout"], DEFAULT_TIMEOUT)
                self.assertEqual(list(kwargs["data"].items()),
                                 [("email", EMAIL), ("password", PASSWORD)])

    def test_private_file_replaced_whole(self):
        self.write(self.tokens_file, "old")
        os.chmod(self.tokens_file, 0o644)
        old_umask = os.umask(0)
        try:
            vandrel.fetch_token(EMAIL, PASSWORD)
        finally:
            os.umask(old_umask)
        self.assertEqual(stat.S_IMODE(os.stat(self.tokens_file).st_mode), 0o600)
        self.assertEqual(self.listing(), ["secret.file", "tokens.file"])

    def test_symlink_stays_a_link(self):
        elsewhere = os.path.join(self.home, "elsewhere")
        os.mkdir(elsewhere)
        target = os.path.join(elsewhere, "real.file")
        for exists in (True, False):
            with self.subTest(target_exists=exists):
                if exists:
                    self.write(target, "old")
                elif os.path.exists(target):
                    os.remove(target)
                os.symlink(target, self.tokens_file)
                token = vandrel.fetch_token(EMAIL, PASSWORD)
                self.assertTrue(os.path.islink(self.tokens_file))
                self.assertEqual(self.read_back()["access_token"], token)
                self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o600)
                self.assertEqual(os.listdir(elsewhere), ["real.file"])
                os.remove(self.tokens_file)

    def test_failed_write_keeps_the_old_file(self):
        class HalfWritingParser(configparser.ConfigParser):
            def write(self, fp, *args, **kwargs):
                fp.write("[TOKENS]\n")
                raise OSError(errno.ENOSPC, "No space left on device")

        fake_configparser = types.SimpleNamespace(ConfigParser=HalfWritingParser)
        failures = [
            ("write", lambda: mock.patch.object(vandrel, "configparser", fake_configparser)),
            ("fsync", lambda: mock.patch("os.fsync", side_effect=OSError(errno.EIO, "I/O"))),
            ("replace", lambda: mock.patch("os.replace", side_effect=OSError(errno.EXDEV, "x"))),
        ]
        old = tokens_text("old", "older")
        self.write(self.tokens_file, old)
        for step, patch in failures:
            with self.subTest(step=step):
                with patch(), self.assertRaises(OSError):
                    vandrel.fetch_token(EMAIL, PASSWORD)
                self.assertEqual(self.read(self.tokens_file), old)
                self.assertEqual(self.listing(), ["secret.file", "tokens.file"])

    @unittest.skipIf(sys.version_info < (3, 10), "-X warn_default_encoding is 3.10+")
    def test_descriptor_closed_once_when_open_fails(self):
        # open() without an encoding warns under -X warn_default_encoding;
        # as an error, it fails after the descriptor was handed to it. The
        # descriptor must still be closed exactly once: a second close could
        # close another thread's file that reused the number.
        code = textwrap.dedent("""
            import json, os, sys
            from vesk.tracking.lite_extensions import vandrel

            class Answer:
                status_code = 200
                def json(self):
                    return {"access_token": "a", "refresh_token": "r"}

            class Requests:
                def post(self, *args, **kwargs):
                    return Answer()

            vandrel.requests = Requests()
            vandrel.TOKENS_FILE = sys.argv[1]
            real_close, closes = os.close, []
            def close(fd):
                try:
                    real_close(fd)
                except OSError as exc:
                    closes.append(exc.errno)
                    raise
                closes.append(0)
            os.close = close
            before = sorted(os.listdir("/proc/self/fd"))
            try:
                vandrel.fetch_token("a@b.c", "pw")
                outcome = None
            except EncodingWarning:
                outcome = "EncodingWarning"
            os.close = real_close
            print(json.dumps({"outcome": outcome, "closes": closes,
                              "descriptors": sorted(os.listdir("/proc/self/fd")) == before}))
        """)
        self.write(self.tokens_file, "old")
        environ = support.child_environment(self.home)
        result = subprocess.run(
            [sys.executable, "-X", "warn_default_encoding", "-W", "error::EncodingWarning",
             "-c", code, self.tokens_file], env=environ, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout),
                         {"outcome": "EncodingWarning", "closes": [0], "descriptors": True})
        self.assertEqual(self.read(self.tokens_file), "old")
        self.assertEqual(self.listing(), ["secret.file", "tokens.file"])

    def test_unwritable_places(self):
        missing = os.path.join(self.home, "missing", "tokens.file")
        self.rebind("TOKENS_FILE", missing)
        before = support.tree_snapshot(self.home)
        with self.assertRaises(FileNotFoundError):
            vandrel.fetch_token(EMAIL, PASSWORD)
        self.assertEqual(support.tree_snapshot(self.home), before)
        self.assertEqual(self.server.login_requests, 1)

        self.rebind("TOKENS_FILE", self.tokens_file)
        os.mkdir(self.tokens_file)
        with self.assertRaises(OSError):
            vandrel.fetch_token(EMAIL, PASSWORD)
        self.assertTrue(os.path.isdir(self.tokens_file))
        self.assertEqual(self.listing(), ["secret.file", "tokens.file"])
        self.assertEqual(self.listing(self.tokens_file), [])

    @unittest.skipIf(os.geteuid() == 0, "root writes anywhere")
    def test_read_only_folder(self):
        self.write(self.tokens_file, "old")
        os.chmod(self.folder, 0o500)
        self.addCleanup(os.chmod, self.folder, 0o700)
        with self.assertRaises(PermissionError):
            vandrel.fetch_token(EMAIL, PASSWORD)
        self.assertEqual(self.read(self.tokens_file), "old")


class ExpiredTokenTest(VandrelCase):
    def test_status_decides(self):
        token = vandrel.fetch_token(EMAIL, PASSWORD)
        self.assertIs(vandrel.expired_token(), False)
        for status in (401, 403, 404, 500, 204, 201):
            with self.subTest(status=status):
                self.server.queue_response(AUTHENTICATE, status, {"message": "x"})
                self.assertIs(vandrel.expired_token(), True)
        self.server.expire_all()
        self.assertIs(vandrel.expired_token(), True)
        checks = [r for r in self.server.recorded_requests if r.path == AUTHENTICATE]
        self.assertEqual(len(checks), 8)
        for request in checks:
            sent = [(n, v) for n, v in request.headers if n.lower() == "authorization"]
            self.assertEqual(sent, [("authorization", "Bearer " + token)])
            self.assertEqual((request.method, request.body), ("GET", b""))

    def test_header_carries_the_value_as_read(self):
        rows = [("access_token =   spaced   ", "Bearer spaced"),
                ("access_token =", "Bearer "),
                ("ACCESS_TOKEN = 50%%", "Bearer 50%"),
                ("access_token = t\nrefresh_token = secret-refresh\n[MORE]\nk = v", "Bearer t")]
        for entry, header in rows:
            with self.subTest(entry=entry):
                self.write(self.tokens_file, "[TOKENS]\n%s\n" % entry)
                self.assertIs(vandrel.expired_token(), True)
                request = self.server.recorded_requests[-1]
                self.assertIn(("authorization", header), request.headers)
                self.assertNotIn("secret-refresh", repr(request.headers))

    def test_the_exact_request_call(self):
        self.write(self.tokens_file, tokens_text("tok", "r"))
        for base in ("https://api.example", "https://api.example/"):
            with self.subTest(base=base):
                fake = FakeRequests(FakeResponse(200, None))
                self.rebind("requests", fake)
                self.rebind("TALVERO_API_URL", base)
                self.assertIs(vandrel.expired_token(), False)
                self.assertEqual(fake.calls, [("get", (base + AUTHENTICATE,),
                                               {"headers": {"authorization": "Bearer tok"},
                                                "timeout": DEFAULT_TIMEOUT})])

    def test_unusable_tokens_file_sends_nothing(self):
        rows = [
            (None, KeyError), ("[tokens]\naccess_token = x\n", KeyError),
            ("[TOKENS]\nrefresh_token = x\n", KeyError),
            ("access_token = x\n", configparser.MissingSectionHeaderError),
            ("[TOKENS]\n???\n", configparser.ParsingError),
            ("[TOKENS]\n[TOKENS]\n", configparser.DuplicateSectionError),
            ("[TOKENS]\na = 1\nA = 2\n", configparser.DuplicateOptionError),
            (b"[TOKENS]\naccess_token = \xff\xfe\n", UnicodeDecodeError),
            ("[TOKENS]\naccess_token = 5%\n", configparser.InterpolationSyntaxError),
        ]
        for content, error in rows:
            with self.subTest(content=content):
                if content is not None:
                    self.write(self.tokens_file, content)
                with self.assertRaises(error):
                    vandrel.expired_token()
        os.remove(self.tokens_file)
        os.mkdir(self.tokens_file)
        with self.assertRaises(KeyError):
            vandrel.expired_token()
        self.assertEqual(self.server.recorded_requests, [])


class TimeoutTest(VandrelCase):
    """Both requests wait DEFAULT_TIMEOUT unless TALVERO_HTTP_TIMEOUT says
    otherwise: one number, a CONNECT,READ pair, or "none" for no time-out;
    anything else is refused unsent."""

    def calls_with(self, value):
        if value is None:
            os.environ.pop(TIMEOUT_VARIABLE, None)
        else:
            os.environ[TIMEOUT_VARIABLE] = value
        self.write(self.tokens_file, tokens_text("tok", "r"))
        fake = FakeRequests(FakeResponse(200, {"access_token": "a", "refresh_token": "r"}),
                            FakeResponse(200, None))
        self.rebind("requests", fake)
        vandrel.fetch_token(EMAIL, PASSWORD)
        vandrel.expired_token()
        return fake.calls

    def test_timeout_keyword(self):
        none = object()  # no timeout= at all
        rows = [(None, DEFAULT_TIMEOUT), ("", DEFAULT_TIMEOUT), ("2.5", 2.5), (" 10 ", 10.0),
                ("1e-3", 0.001), ("2,30", (2.0, 30.0)), (" 1.5 , 20 ", (1.5, 20.0)),
                ("none", none), ("NONE", none), (" None\t", none)]
        for value, seconds in rows:
            with self.subTest(value=value):
                (_, _, post), (_, _, get) = self.calls_with(value)
                if seconds is none:
                    self.assertEqual((list(post), list(get)), (["data"], ["headers"]))
                    continue
                self.assertEqual((list(post), list(get)),
                                 (["data", "timeout"], ["headers", "timeout"]))
                for timeout in (post["timeout"], get["timeout"]):
                    self.assertEqual(timeout, seconds)
                    for part in timeout if isinstance(seconds, tuple) else [timeout]:
                        self.assertIs(type(part), float)

    def test_bad_values_refused_before_sending(self):
        for value in ("0", "-1", "-0.0", "nan", "inf", "-inf", "1e400", "abc", "5s", "0x10",
                      ",5", "5,", "1,2,3", "0,5", "5,0", "nan,1", "none,5", "non", "nonee",
                      "n one", "\xe9"):
            with self.subTest(value=value):
                with self.assertRaisesRegex(ValueError, TIMEOUT_VARIABLE + ".*'none'"):
                    self.calls_with(value)
                with self.assertRaisesRegex(ValueError, TIMEOUT_VARIABLE):
                    vandrel.expired_token()
                self.assertEqual(vandrel.requests.calls, [])

    def test_timeout_reaches_the_server(self):
        for value in ("5", "2,5", None):
            with self.subTest(value=value):
                if value is not None:
                    os.environ[TIMEOUT_VARIABLE] = value
                self.assertEqual(vandrel.get_token(), vandrel.get_token())
        self.assertEqual((self.server.login_requests, self.server.authenticate_requests), (1, 5))

    def assert_gives_up(self, call, wanted, seconds):
        """`call` raises requests' `wanted` time-out after having waited
        `seconds`, long before the other part or the default would have
        ended the wait (10 s and more), and leaves the files as they were.
        The margin is wide: a loaded machine is slow to wake the caller."""
        before = {name: self.read(os.path.join(self.folder, name)) for name in self.listing()}
        start = time.monotonic()
        with self.assertRaises(wanted):
            call()
        elapsed = time.monotonic() - start
        self.assertGreaterEqual(elapsed, seconds * 0.9)
        self.assertLess(elapsed, 9.0)
        self.assertEqual({name: self.read(os.path.join(self.folder, name))
                          for name in self.listing()}, before)

    def test_silent_server_gives_up(self):
        import requests
        with support.SilentServer() as silent:
            self.rebind("TALVERO_API_URL", silent.url)
            os.environ[TIMEOUT_VARIABLE] = "0.5"
            for label, call in (("login", lambda: vandrel.fetch_token(EMAIL, PASSWORD)),
                                ("get_token, no tokens file", vandrel.get_token)):
                with self.subTest(label):
                    self.assert_gives_up(call, requests.exceptions.ReadTimeout, 0.5)
            self.assertEqual(self.listing(), ["secret.file"])
            self.write(self.tokens_file, tokens_text("tok", "r"))
            os.environ[TIMEOUT_VARIABLE] = "60,0.5"  # the read part applies
            for label, call in (("check", vandrel.expired_token),
                                ("get_token, cached", vandrel.get_token)):
                with self.subTest(label):
                    self.assert_gives_up(call, requests.exceptions.ReadTimeout, 0.5)
            self.assertGreaterEqual(silent.connections, 4)

    def test_unanswered_connect_gives_up(self):
        import requests
        with support.SilentServer(accepting=False) as silent:
            self.rebind("TALVERO_API_URL", silent.url)
            os.environ[TIMEOUT_VARIABLE] = "0.5,60"  # the connect part applies
            self.assert_gives_up(lambda: vandrel.fetch_token(EMAIL, PASSWORD),
                                 requests.exceptions.ConnectTimeout, 0.5)
            self.assertEqual(self.listing(), ["secret.file"])


class LeakTest(LeakCase):
    """Reference-leak checks of the success and error paths."""

    def test_fetch_token_paths(self):
        def bad_answer():
            self.server.queue_response(LOGIN, 200, {"access_token": None, "refresh_token": 1})
            vandrel.fetch_token(EMAIL, PASSWORD)

        def percent_answer():
            self.server.queue_response(LOGIN, 200, {"access_token": "5%", "refresh_token": 1})
            vandrel.fetch_token(EMAIL, PASSWORD)

        actions = [("login", lambda: vandrel.fetch_token(EMAIL, PASSWORD)),
                   ("refused", lambda: vandrel.fetch_token(EMAIL, "wrong")),
                   ("null token", bad_answer), ("percent and number", percent_answer)]
        for label, action in actions:
            with self.subTest(label):
                support.assert_no_leak(self, self.forgetting(action, revoke=True), calls=40)
        os.remove(self.tokens_file)
        os.mkdir(self.tokens_file)  # the rename fails: the temporary file is removed
        support.assert_no_leak(self, self.forgetting(
            lambda: vandrel.fetch_token(EMAIL, PASSWORD), revoke=True), calls=40)

    def test_expired_token_paths(self):
        vandrel.fetch_token(EMAIL, PASSWORD)
        support.assert_no_leak(self, self.forgetting(vandrel.expired_token), calls=40)
        self.server.expire_all()
        support.assert_no_leak(self, self.forgetting(vandrel.expired_token), calls=40)
        os.environ[TIMEOUT_VARIABLE] = "nan"
        support.assert_no_leak(self, vandrel.expired_token)
        os.environ[TIMEOUT_VARIABLE] = "3"
        support.assert_no_leak(self, self.forgetting(vandrel.expired_token), calls=40)
        os.remove(self.tokens_file)
        support.assert_no_leak(self, vandrel.expired_token)


if __name__ == "__main__":
    unittest.main()
