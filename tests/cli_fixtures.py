"""What the tests of the vesk command share: a private home, a local account
server the command is pointed at, runs through pipes, and runs through a
pseudo-terminal."""

import os
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from tests import support  # also puts tools/ on sys.path
from account_server import AccountServer  # noqa: E402

ALICE = ("alice@example.org", "correct horse 100%")
BOB = ("bob@example.org", "battery:staple")


class CommandCase(unittest.TestCase):
    """A temporary home, an account server knowing ALICE and BOB, and an
    environment pointing the command at both."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="vesk-cli-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.folder = os.path.join(self.home, ".talvero")
        self.secret = os.path.join(self.folder, "secret.file")
        self.tokens = os.path.join(self.folder, "tokens.file")
        self.server = AccountServer(dict([ALICE, BOB])).start()
        self.addCleanup(self.server.stop)
        self.env = support.child_environment(self.home, TALVERO_API_URL=self.server.url)

    def vesk(self, *args, **kwargs):
        """Runs the command with `args` through pipes; standard input is
        `input=` when given, else empty. Extra variables in `env=`."""
        if "input" not in kwargs:
            kwargs["stdin"] = subprocess.DEVNULL
        env = dict(self.env)
        env.update(kwargs.pop("env", {}))
        return subprocess.run(support.vesk_command() + list(args), cwd=self.home, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=60, **kwargs)

    def login_note(self, url=None):
        """What config says on stderr before it logs in (the default wait)."""
        return ("vesk config: logging in at %s/auth/login (up to 10 s to connect, 60 s for "
                "the answer)\n" % (url or self.server.url))

    def configure(self, account, *extra):
        done = self.vesk("config", "--email", account[0], "--password", account[1], *extra)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done

    def token_in_child(self, **env):
        """get_token() in a fresh interpreter of this home: the token, or
        the failure's class name and text."""
        environ = {"TALVERO_API_URL": self.server.url}
        environ.update(env)
        done = support.run_python(
            "from vesk.tracking.lite_extensions import vandrel\n"
            "try:\n    print(vandrel.get_token())\n"
            "except Exception as error:\n    print(type(error).__name__, error)\n",
            self.home, env=environ)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout.strip()

    def snapshot(self):
        """{file name: bytes} of ~/.talvero, None when the folder is missing."""
        if not os.path.isdir(self.folder):
            return None
        found = {}
        for name in sorted(os.listdir(self.folder)):
            with open(os.path.join(self.folder, name), "rb") as handle:
                found[name] = handle.read()
        return found


class Terminal(object):
    """The command run on a new pseudo-terminal, its controlling terminal
    and its standard input and error; standard output goes to a file when
    `stdout_path` is given, else to the terminal too."""

    def __init__(self, argv, env, cwd, stdout_path=None):
        command = support.vesk_command() + list(argv)
        self.pid, self.master = pty.fork()
        if self.pid == 0:  # the child: only exec or _exit from here on
            try:
                os.chdir(cwd)
                # A runner started in the background ignores SIGINT, and
                # the command would inherit that: Ctrl-C must reach it.
                signal.signal(signal.SIGINT, signal.SIG_DFL)
                if stdout_path is not None:
                    fd = os.open(stdout_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
                    os.dup2(fd, 1)
                    os.close(fd)
                os.execve(command[0], command, env)
            finally:
                os._exit(127)
        self.output = b""
        self._found = 0
        self.status = None

    def read_until(self, wanted, seconds=60):
        """Reads until the output ends with `wanted` (bytes) shown after
        what the last call found: a prompt asked again is waited for anew.
        False when the child ended or the time ran out first."""
        deadline = time.time() + seconds
        while not (self.output.endswith(wanted)
                   and len(self.output) - len(wanted) >= self._found):
            if time.time() > deadline or not self._read_some(deadline):
                return False
        self._found = len(self.output)
        return True

    def _read_some(self, deadline):
        while time.time() < deadline:
            if select.select([self.master], [], [], 0.5)[0]:
                try:
                    chunk = os.read(self.master, 1024)
                except OSError:  # EIO once the child has gone
                    return False
                self.output += chunk
                return bool(chunk)
        return False

    def send(self, data):
        os.write(self.master, data)

    def wait_until_reading(self, seconds=60):
        """Waits until the child sleeps, as it does in its read of the
        terminal. A Ctrl-C that comes between the prompt and that read is
        seen by the interpreter only at its next check, which the read then
        holds back for good: the key must come once the read has begun."""
        deadline = time.time() + seconds
        path = "/proc/%d/stat" % self.pid
        sleeping = 0
        while time.time() < deadline and sleeping < 2:
            try:
                with open(path) as handle:
                    state = handle.read().rsplit(")", 1)[1].split()[0]
            except (OSError, IndexError):
                return  # no /proc: the key goes now
            sleeping = sleeping + 1 if state == "S" else 0
            time.sleep(0.01)

    def finish(self, seconds=60):
        """Reads what is left and waits for the child; its exit status, or
        -signal when a signal ended it."""
        deadline = time.time() + seconds
        while self._read_some(deadline):
            pass
        if time.time() > deadline:
            os.kill(self.pid, signal.SIGKILL)
        os.close(self.master)
        status = os.waitpid(self.pid, 0)[1]
        self.status = (os.WEXITSTATUS(status) if os.WIFEXITED(status)
                       else -os.WTERMSIG(status))
        return self.status

    def close(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except OSError:
                pass
            try:
                os.close(self.master)
            except OSError:
                pass
            os.waitpid(self.pid, 0)
            self.status = -signal.SIGKILL


class TerminalCase(CommandCase):
    def terminal(self, *argv, **kwargs):
        session = Terminal(argv, self.env, self.home, **kwargs)
        self.addCleanup(session.close)
        return session

    def answer(self, session, prompt, text):
        self.assertTrue(session.read_until(prompt), session.output)
        session.send(text)
