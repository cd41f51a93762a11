"""Tests of the pure-Python modules of vesk and of the `vesk config` command."""

import configparser
import io
import os
import pty
import select
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
from unittest import mock

from tests import support
from account_server import AccountServer  # noqa: E402 (tools/ is on the path)
from vesk.tracking.utils import env
from vesk.utils import cyan_print, red_print


class FakeStream(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty

    def isatty(self):
        return self.tty


class NoIsattyStream:
    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)

    def flush(self):
        pass


class PrintTests(unittest.TestCase):
    def test_colour_only_on_terminal_without_no_color(self):
        cases = [  # (is a tty, NO_COLOR or None, coloured?)
            (False, None, False), (True, "1", False), (True, "anything", False),
            (True, None, True), (True, "", True), (False, "", False)]
        for func, code in ((cyan_print, "\033[36m"), (red_print, "\033[31m")):
            for tty, no_color, coloured in cases:
                with self.subTest(func=func.__name__, tty=tty, no_color=no_color):
                    stream = FakeStream(tty)
                    environ = dict(os.environ)
                    environ.pop("NO_COLOR", None)
                    if no_color is not None:
                        environ["NO_COLOR"] = no_color
                    with mock.patch.dict(os.environ, environ, clear=True), \
                            mock.patch("sys.stdout", stream):
                        self.assertIsNone(func(42))
                    want = code + "42\033[0m\n" if coloured else "42\n"
                    self.assertEqual(stream.getvalue(), want)

    def test_stream_without_isatty_is_plain(self):
        stream = NoIsattyStream()
        with mock.patch.dict(os.environ, {"NO_COLOR": ""}), mock.patch("sys.stdout", stream):
            cyan_print("hi")
        self.assertEqual("".join(stream.parts), "hi\n")


class EnvTests(unittest.TestCase):
    def test_get_env_reads_at_each_call(self):
        name = "VESK_TEST_VARIABLE"
        for value in ("x y", "", None):
            with self.subTest(value=value):
                environ = {} if value is None else {name: value}
                with mock.patch.dict(os.environ, environ):
                    if value is None:
                        os.environ.pop(name, None)
                    self.assertEqual(env.get_env(name), value)


class ConfigCommandTests(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.home)
        self.folder = os.path.join(self.home, ".talvero")
        self.secret = os.path.join(self.folder, "secret.file")
        # config logs in before it stores: a local server accepts the
        # accounts the tests add.
        self.server = AccountServer({}).start()
        self.addCleanup(self.server.stop)
        self.env = support.child_environment(self.home, TALVERO_API_URL=self.server.url)

    def run_config(self, *args, **kwargs):
        """Runs vesk with `args` (in a checkout: python -m vesk); standard
        input is `input=` when given, else empty."""
        if "input" not in kwargs:
            kwargs["stdin"] = subprocess.DEVNULL
        return subprocess.run(support.vesk_command() + list(args), cwd=self.home,
                              env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=60, **kwargs)

    def assert_written(self, proc, email, password, replacing=None):
        # Standard error holds only where the login goes, said before it waits.
        self.assertEqual((proc.returncode, proc.stderr), (0, "vesk config: logging in at "
                         "%s/auth/login (up to 10 s to connect, 60 s for the answer)\n"
                         % self.server.url))
        self.assertEqual(proc.stdout, "logged in to %s as %s\ncredentials written to %s%s\n"
                         % (self.server.url, email, self.secret,
                            ", replacing " + replacing if replacing else ""))
        with open(self.secret) as handle:
            self.assertEqual(handle.read(), "[secret]\nemail = %s\npassword = %s\n\n"
                             % (email.replace("%", "%%"), password.replace("%", "%%")))
        self.assertEqual(self.read_back(), (email, password))

    def read_back(self):
        parser = configparser.ConfigParser()
        self.assertEqual(parser.read(self.secret), [self.secret])
        return parser["secret"]["email"], parser["secret"]["password"]

    def test_options_write_exact_private_file(self):
        previous = None
        for email, password in (("me@example.org", "plain"), ("a%b@x.io", "100%%(email)s%")):
            with self.subTest(password=password):
                self.server.add_user(email, password)
                proc = self.run_config("config", "--email", email, "--password", password)
                self.assert_written(proc, email, password, previous)
                self.assertEqual(stat.S_IMODE(os.stat(self.secret).st_mode), 0o600)
                self.assertEqual(stat.S_IMODE(os.stat(self.folder).st_mode), 0o700)
                self.assertEqual(sorted(os.listdir(self.folder)), ["secret.file", "tokens.file"])
                previous = email

    def test_existing_folder_keeps_its_mode(self):
        os.mkdir(self.folder)
        os.chmod(self.folder, 0o750)
        self.server.add_user("e@x", "p")
        self.assertEqual(self.run_config("config", "--email", "e@x", "--password", "p").returncode, 0)
        self.assertEqual(stat.S_IMODE(os.stat(self.folder).st_mode), 0o750)

    def test_password_from_piped_stdin(self):
        # Standard input is a pipe here, not a terminal: nothing is asked,
        # and only the first line is read.
        for given, password in (("s3cr%t\n", "s3cr%t"), ("no line end", "no line end"),
                                ("crlf\r\n", "crlf"), ("one\ntwo\n", "one")):
            with self.subTest(given=given):
                self.server.add_user("e@x", password)
                proc = self.run_config("config", "--email", "e@x", "--password-stdin",
                                       input=given)
                self.assert_written(proc, "e@x", password)

    def test_refusals_create_nothing(self):
        # (message, arguments, standard input or None for an empty one)
        refused = {"standard input is not a terminal; pass --email and --password": [
            ([], None), (["--email", "e@x"], None), (["--password", "p"], None)],
            "line break": [(["--email", "e@x", "--password", "a\nb"], None),
                           (["--email", "e@x\r", "--password", "p"], None)],
            "empty": [(["--email", "", "--password", "p"], None)],
            "no password on standard input": [(["--email", "e@x", "--password-stdin"], None),
                                              (["--email", "e@x", "--password-stdin"], "\n")],
            "--password-stdin needs --email": [(["--password-stdin"], "p\n")],
            "not allowed with argument": [
                (["--email", "e@x", "--password", "p", "--password-stdin"], "p\n")]}
        for message, cases in refused.items():
            for argv, given in cases:
                with self.subTest(argv=argv, stdin=given):
                    if given is None:
                        proc = self.run_config("config", *argv)
                    else:
                        proc = self.run_config("config", *argv, input=given)
                    self.assertEqual(proc.returncode, 2)
                    self.assertIn(message, proc.stderr)
                    self.assertEqual(proc.stdout, "")
                    self.assertFalse(os.path.exists(self.folder))

    def test_help_lists_config(self):
        proc = self.run_config("--help")
        self.assertEqual(proc.returncode, 0)
        self.assertIn("config", proc.stdout)

    def test_interactive_prompts_and_hidden_password(self):
        self.server.add_user("me@x.org", "s3cr%t!")
        pid, master = pty.fork()
        if pid == 0:  # child: the pseudo-terminal is its controlling terminal
            os.chdir(self.home)
            command = support.vesk_command() + ["config"]
            os.execve(command[0], command, self.env)
        output = b""
        answers = [(b"E-mail: ", b"me@x.org\n"), (b"Password: ", b"s3cr%t!\n")]
        deadline = time.time() + 60
        while time.time() < deadline:
            if answers and output.endswith(answers[0][0]):
                os.write(master, answers.pop(0)[1])
            if not select.select([master], [], [], 1)[0]:
                continue
            try:
                chunk = os.read(master, 1024)
            except OSError:  # EIO once the child has gone
                break
            if not chunk:
                break
            output += chunk
        os.close(master)
        status = os.waitpid(pid, 0)[1]
        self.assertTrue(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, output)
        self.assertEqual(answers, [], output)
        self.assertIn(b"me@x.org", output)  # the e-mail address is echoed
        self.assertNotIn(b"s3cr", output)  # the password is not
        self.assertIn(b"credentials written to", output)
        self.assertEqual(self.read_back(), ("me@x.org", "s3cr%t!"))


if __name__ == "__main__":
    unittest.main()
