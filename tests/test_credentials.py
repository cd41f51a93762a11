"""The secret file and get_token: the guidance and exit status, parsing,
get_token's three paths and how many exchanges each makes."""

import configparser
import contextlib
import io
import os
import stat
import types
import unittest

from tests import support
from tests.token_fixtures import (EMAIL, GUIDE, PASSWORD, SECRET, LeakCase, Recorder,
                                  VandrelCase, assert_quotes_nothing, tokens_text, vandrel)


class SecretConfigTest(VandrelCase):
    def quiet_guide(self):
        recorder = Recorder()
        self.rebind("cyan_print", recorder)
        return recorder

    def test_guide_goes_through_cyan_print_only(self):
        recorder = self.quiet_guide()
        output = io.StringIO()
        with contextlib.redirect_stdout(output), contextlib.redirect_stderr(output):
            self.assertIsNone(vandrel.create_secret_file_guide())
        self.assertEqual(recorder.calls, [((GUIDE,), {})])
        self.assertEqual(output.getvalue(), "")

    def test_missing_secret_file_exits_with_status_one(self):
        os.remove(self.secret_file)
        os.mkdir(os.path.join(self.home, "folder"))
        os.symlink(os.path.join(self.home, "nowhere"), os.path.join(self.home, "dangling"))
        for kind in ("absent", "folder", "dangling"):
            for function in (vandrel.get_secret_config, vandrel.get_token):
                with self.subTest(kind=kind, function=function.__name__):
                    recorder = self.quiet_guide()
                    self.rebind("SECRET_FILE", os.path.join(self.home, kind))
                    with self.assertRaises(SystemExit) as caught:
                        function()
                    self.assertEqual(caught.exception.code, 1)
                    self.assertEqual(recorder.calls, [((GUIDE,), {})])
        self.assertEqual(self.server.recorded_requests, [])
        self.assertEqual(self.listing(), [])

    def test_failing_cyan_print_prevents_the_exit(self):
        def broken(text):
            raise RuntimeError("no console")
        self.rebind("cyan_print", broken)
        self.rebind("SECRET_FILE", os.path.join(self.home, "absent"))
        with self.assertRaisesRegex(RuntimeError, "no console"):
            vandrel.get_secret_config()

    def test_exit_taken_from_the_module_namespace(self):
        recorder = self.quiet_guide()
        exit_ = Recorder()
        self.rebind("sys", types.SimpleNamespace(exit=exit_))
        self.rebind("SECRET_FILE", os.path.join(self.home, "absent"))
        config = vandrel.get_secret_config()  # a returning exit lets the read go ahead
        self.assertEqual((exit_.calls, recorder.calls), ([((1,), {})], [((GUIDE,), {})]))
        self.assertEqual(config.sections(), [])

    def test_program_without_secret_file_exits_with_status_one(self):
        with support.temporary_home() as home:
            result = support.run_python(
                "from vesk.tracking.lite_extensions import vandrel\nvandrel.get_token()\n",
                home, env={"TALVERO_API_URL": self.server.url, "NO_COLOR": "1"})
            self.assertEqual(support.tree_snapshot(home), [])
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, GUIDE + "\n", ""))
        self.assertEqual(self.server.recorded_requests, [])

    def test_parsing(self):
        rows = [  # (secret file, email, password): a value, an exception, or None: not asked
            ("[secret]\nEMAIL = x@y.z\nPassWord =  p w  \n", "x@y.z", "p w"),
            ("[secret]\nemail = x\npassword = 50%%\n[other]\nk = v\n", "x", "50%"),
            ("[secret]\nemail = x\npassword =\n", "x", ""),
            ("[secret]\nemail = x\npassword = 50%\n", "x", configparser.InterpolationSyntaxError),
            ("[Secret]\nemail = x\npassword = y\n", KeyError("secret"), None),
            ("[secret]\npassword = y\n", KeyError("email"), None),
            ("[secret]\nemail = x\n", "x", KeyError("password")),
        ]
        for content, email, password in rows:
            with self.subTest(content=content):
                self.write(self.secret_file, content)
                config = vandrel.get_secret_config()
                self.assertIsInstance(config, configparser.ConfigParser)
                for key, want in (("email", email), ("password", password)):
                    if want is None:
                        continue
                    if isinstance(want, str):
                        self.assertEqual(config["secret"][key], want)
                        continue
                    error = want if isinstance(want, type) else type(want)
                    with self.assertRaises(error) as caught:
                        config["secret"][key]
                    if isinstance(want, KeyError):
                        self.assertEqual(caught.exception.args, want.args)

    def test_malformed_file_fails_without_quoting_it(self):
        email = "[secret]\nemail = x\n"
        rows = [  # (secret file, error, its line, raised by the read or only by a lookup)
            ("email = x\n[secret]\n", configparser.MissingSectionHeaderError, 1, True),
            ("password = %s\n[secret]\n" % SECRET, configparser.MissingSectionHeaderError, 1,
             True),
            (email + "not an entry\n", configparser.ParsingError, 3, True),
            (email + "password " + SECRET + "\n", configparser.ParsingError, 3, True),
            ("[secret]\n[secret]\n", configparser.DuplicateSectionError, 2, True),
            ("[%s]\n[%s]\n" % (SECRET, SECRET), configparser.DuplicateSectionError, 2, True),
            (email + "Email = %s\n" % SECRET, configparser.DuplicateOptionError, 3, True),
            (email + "%s = 1\n%s = 2\n" % (SECRET, SECRET), configparser.DuplicateOptionError,
             4, True),
            (b"[secret]\nemail = \xff\xfe\n", UnicodeDecodeError, 2, True),
            (email.encode() + b"password = " + SECRET.encode() + b"\xff\n", UnicodeDecodeError,
             3, True),
            (email.replace("\n", "\r\n").encode() + b"password = \xe9" + SECRET.encode() +
             b"\r\n", UnicodeDecodeError, 3, True),
            (email + "password = ab%" + SECRET + "\n", configparser.InterpolationSyntaxError, 3,
             False),
            (email + "password = 5%(" + SECRET + ")s\n",
             configparser.InterpolationMissingOptionError, 3, False),
            (email + "password = %%(%s)s\n%s = %%(password)s\n" % (SECRET, SECRET),
             configparser.InterpolationDepthError, 3, False),
            (email + "password = a\n  b%" + SECRET + "\n", configparser.InterpolationSyntaxError,
             3, False),
            (email + "; password = 1\nPassWord: %" + SECRET + "\n",
             configparser.InterpolationSyntaxError, 4, False),
        ]
        for content, error, line, on_read in rows:
            with self.subTest(content=content):
                self.write(self.secret_file, content)
                if on_read:
                    with self.assertRaises(error) as caught:
                        vandrel.get_secret_config()
                    assert_quotes_nothing(self, caught.exception, self.secret_file, line)
                else:
                    self.assertIsInstance(vandrel.get_secret_config(), configparser.ConfigParser)
                with self.assertRaises(error) as caught:
                    vandrel.get_token()
                assert_quotes_nothing(self, caught.exception, self.secret_file, line)
                self.assertTrue(caught.exception.__suppress_context__)
        self.assertEqual(self.server.recorded_requests, [])

    @unittest.skipIf(os.geteuid() == 0, "root reads unreadable files")
    def test_unreadable_file_parses_empty(self):
        os.chmod(self.secret_file, 0)
        self.assertEqual(vandrel.get_secret_config().sections(), [])
        with self.assertRaises(KeyError):
            vandrel.get_token()


class GetTokenTest(VandrelCase):
    def exchanges(self):
        return self.server.login_requests, self.server.authenticate_requests

    def stored_access_token(self):
        parser = configparser.ConfigParser()
        parser.read(self.tokens_file)
        return parser["TOKENS"]["access_token"]

    def test_three_paths(self):
        first = vandrel.get_token()
        self.assertEqual(self.exchanges(), (1, 0), "no tokens file: one login")
        self.assertEqual(first, self.stored_access_token())
        self.assertEqual(vandrel.get_token(), first)
        self.assertEqual(self.exchanges(), (1, 1), "accepted token: one check")
        self.server.expire_all()
        renewed = vandrel.get_token()
        self.assertEqual(self.exchanges(), (2, 2), "refused token: a check, then a login")
        self.assertNotEqual(renewed, first)
        self.assertEqual(renewed, self.stored_access_token())
        bodies = [r.body for r in self.server.recorded_requests if r.method == "POST"]
        self.assertEqual(bodies, [b"email=a%40b.c&password=pw"] * 2)

    def test_expiry_verdict_is_a_truth_value(self):
        self.write(self.tokens_file, tokens_text("cached", "r"))
        sentinel = object()
        for verdict, logs_in in (("x", True), (1, True), (True, True),
                                 (None, False), (0, False), ("", False), (False, False)):
            with self.subTest(verdict=verdict):
                fetch = Recorder(sentinel)
                self.rebind("fetch_token", fetch)
                self.rebind("expired_token", lambda: verdict)
                result = vandrel.get_token()
                if logs_in:
                    self.assertIs(result, sentinel)
                    self.assertEqual(fetch.calls, [((EMAIL, PASSWORD), {})])
                else:
                    self.assertEqual(result, "cached")
                    self.assertEqual(fetch.calls, [])

    def test_no_tokens_file_skips_the_check(self):
        def must_not_run():
            raise AssertionError("expired_token called")
        sentinel = object()
        fetch = Recorder(sentinel)
        self.rebind("expired_token", must_not_run)
        self.rebind("fetch_token", fetch)
        self.assertIs(vandrel.get_token(), sentinel)
        self.assertEqual(fetch.calls, [((EMAIL, PASSWORD), {})])

    def test_rebound_os_steers_the_presence_test_only(self):
        self.write(self.tokens_file, tokens_text("stale", "r"))
        fake_os = types.SimpleNamespace(path=types.SimpleNamespace(
            exists=lambda path: False, isfile=os.path.isfile))
        self.rebind("os", fake_os)
        token = vandrel.get_token()
        self.assertEqual(self.exchanges(), (1, 0))
        self.assertEqual(token, self.stored_access_token())

    def test_directory_at_tokens_file_counts_as_present(self):
        # Present, and unusable: the login runs, and the writer reports
        # what stands in its way.
        os.mkdir(self.tokens_file)
        with self.assertRaises(OSError):
            vandrel.get_token()
        self.assertEqual(self.exchanges(), (1, 0))

    def test_unusable_tokens_file_is_replaced_by_a_login(self):
        rows = ["", "# only a comment\n", "[tokens]\naccess_token = x\n",
                "[TOKENS]\nrefresh_token = r\n", "[TOKENS]\naccess_token = 5%\n",
                "[TOKENS]\naccess_token = %(x)s\n", "junk\n", "[TOKENS]\n???\n",
                "[TOKENS]\n[TOKENS]\n", b"[TOKENS]\naccess_token = \xff\n",
                "[TOKENS]\naccess_token = x\n# " + "." * (1 << 20) + "\n", None]
        for content in rows:
            with self.subTest(content=content if content is None else content[:40]):
                if content is None:
                    # A link to something that is not a regular file (a FIFO
                    # here; never a real device) reads as no cached token,
                    # and the login leaves what stands there as it is.
                    os.remove(self.tokens_file)
                    fifo = os.path.join(self.folder, "fifo")
                    os.mkfifo(fifo)
                    os.symlink(fifo, self.tokens_file)
                else:
                    self.write(self.tokens_file, content)
                before = self.exchanges()
                if content is None:
                    with self.assertRaises(FileExistsError):
                        vandrel.get_token()
                    self.assertTrue(stat.S_ISFIFO(os.stat(self.tokens_file).st_mode))
                else:
                    token = vandrel.get_token()
                self.assertEqual(self.exchanges(), (before[0] + 1, before[1]),
                                 "one login, no check")
                if content is not None:
                    self.assertEqual(token, self.stored_access_token())
                    self.assertEqual(vandrel.get_token(), token)

    def test_tokens_file_unusable_after_the_check_logs_in(self):
        self.write(self.tokens_file, tokens_text("cached", "r"))
        sentinel = object()
        fetch = Recorder(sentinel)
        self.rebind("fetch_token", fetch)

        def accepted_then_broken():
            self.write(self.tokens_file, "[TOKENS]\n")
            return False
        self.rebind("expired_token", accepted_then_broken)
        self.assertIs(vandrel.get_token(), sentinel)
        self.assertEqual(fetch.calls, [((EMAIL, PASSWORD), {})])

    def test_missing_credentials_touch_nothing(self):
        for content, key in (("[secret]\nemail = x\n", "password"),
                             ("[secret]\npassword = x\n", "email"),
                             ("[other]\n", "secret")):
            with self.subTest(key=key):
                self.write(self.secret_file, content)
                with self.assertRaises(KeyError) as caught:
                    vandrel.get_token()
                self.assertEqual(caught.exception.args, (key,))
        self.assertEqual(self.exchanges(), (0, 0))
        self.assertFalse(os.path.exists(self.tokens_file))

    def test_credentials_reach_the_server_as_read(self):
        self.server.add_user("p@q.r", "50%")
        rows = [  # (secret file, expected form body, logs in?)
            ("[secret]\nemail = a@b.c\npassword =\n", b"email=a%40b.c&password=", False),
            ("[secret]\nemail = p@q.r\npassword = 50%%\n", b"email=p%40q.r&password=50%25", True),
        ]
        for content, body, accepted in rows:
            with self.subTest(content=content):
                self.write(self.secret_file, content)
                before = len(self.server.recorded_requests)
                if accepted:
                    self.assertEqual(vandrel.get_token(), self.stored_access_token())
                else:
                    with self.assertRaisesRegex(vandrel.LoginError, "invalid email or password"):
                        vandrel.get_token()
                self.assertEqual(self.server.recorded_requests[before].body, body)

    def test_names_resolved_at_each_call(self):
        rows = [(vandrel.get_token, "get_secret_config"), (vandrel.get_token, "TOKENS_FILE"),
                (vandrel.get_secret_config, "SECRET_FILE"), (vandrel.get_secret_config, "os")]
        for function, name in rows:
            with self.subTest(function=function.__name__, name=name):
                saved = vandrel.__dict__.pop(name)
                try:
                    with self.assertRaises(NameError) as caught:
                        function()
                finally:
                    setattr(vandrel, name, saved)
                self.assertEqual(str(caught.exception), "name '%s' is not defined" % name)


class LeakTest(LeakCase):
    """Reference-leak checks of the success and error paths."""

    def test_secret_config_paths(self):
        self.rebind("cyan_print", lambda text: None)
        support.assert_no_leak(self, vandrel.get_secret_config)
        self.rebind("SECRET_FILE", os.path.join(self.home, "absent"))
        support.assert_no_leak(self, vandrel.get_secret_config)

    def test_get_token_paths(self):
        vandrel.get_token()
        support.assert_no_leak(self, self.forgetting(vandrel.get_token), calls=40)  # cached
        # Every token forgotten: each call checks, is refused, and logs in.
        support.assert_no_leak(self, self.forgetting(vandrel.get_token, revoke=True), calls=40)
        self.write(self.secret_file, "[secret]\nemail = x\n")
        support.assert_no_leak(self, vandrel.get_token)  # KeyError
        # Unusable tokens files, each replaced by a login, and then the
        # secret file's errors raised without their text.
        for tokens in ("junk\n", b"[TOKENS]\naccess_token = \xff\n", "[TOKENS]\na = %\n"):
            self.write(self.secret_file, self.secret)

            def refill(tokens=tokens):
                self.write(self.tokens_file, tokens)
                vandrel.get_token()
            support.assert_no_leak(self, self.forgetting(refill), calls=40)
        for secret in ("junk\n", "[secret]\nx\n", "[secret]\n[secret]\n",
                       "[secret]\nemail = 1\nEMAIL = 2\n", b"[secret]\n\xff\n",
                       "[secret]\nemail = x\npassword = %(y)s\n",
                       "[secret]\nemail = x\npassword = %\n"):
            self.write(self.secret_file, secret)
            support.assert_no_leak(self, vandrel.get_token)


if __name__ == "__main__":
    unittest.main()
