"""What the credential and token tests share: a private home with a secret
file, a local account server, and the vandrel module pointed at both."""

import os
import shutil
import sys
import tempfile
import unittest
import warnings
from unittest import mock

from tests import support  # also puts tools/ on sys.path
from account_server import AccountServer, AccountServerProcess  # noqa: E402
from vesk.tracking.lite_extensions import vandrel  # noqa: E402

EMAIL = "a@b.c"
PASSWORD = "pw"
GUIDE = ("couldn't locate your credentials, please configure by typing "
         "`vesk config` in a terminal")
TIMEOUT_VARIABLE = "TALVERO_HTTP_TIMEOUT"
# (connect, read) seconds of both requests when TIMEOUT_VARIABLE is unset.
DEFAULT_TIMEOUT = (10.0, 60.0)


def unnamed_files(folder):
    """(made, linked): whether the kernel and the file system of `folder` let
    a file be made there without a name (O_TMPFILE), and then named through
    /proc/self/fd. Where both hold, the tokens file is written that way."""
    try:
        fd = os.open(folder, os.O_WRONLY | os.O_TMPFILE, 0o600)
    except (AttributeError, OSError):
        return False, False
    name = os.path.join(folder, ".unnamed-files-probe")
    folder_fd = os.open(folder, os.O_RDONLY)
    try:
        # With a folder descriptor every version calls linkat, which can
        # follow the magic link, and not link, which cannot.
        os.link("/proc/self/fd/%d" % fd, name, src_dir_fd=folder_fd, follow_symlinks=True)
    except OSError:
        return True, False
    else:
        os.unlink(name)
        return True, True
    finally:
        os.close(folder_fd)
        os.close(fd)


def tokens_text(access, refresh):
    """The tokens file as a successful login leaves it."""
    return "[TOKENS]\naccess_token = %s\nrefresh_token = %s\n\n" % (access, refresh)


# A value that must never show in an error: every piece of it is searched.
SECRET = "Qz7xWv9K"


def exception_texts(exc):
    """Everything of `exc` a handler may print: str, repr, args, every
    attribute (its __dict__ and the C-level ones), along the whole chain."""
    texts, seen = [], set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        texts += [str(exc), repr(exc), repr(exc.args)]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # 3.6's ParsingError.filename
            for name in sorted(set(dir(exc)) | set(getattr(exc, "__dict__", {}))):
                if not name.startswith("__") or name == "__notes__":
                    texts.append(repr(getattr(exc, name, None)))
        for linked in (exc.__cause__, exc.__context__):
            if linked is not None:
                texts += exception_texts(linked)
        exc = None
    return texts


def assert_quotes_nothing(testcase, exc, path, line, secret=SECRET):
    """`exc` names `path` and `line`, and holds no 4 characters of `secret`."""
    testcase.assertIn(repr(path), str(exc))
    testcase.assertIn("line %d:" % line, str(exc))
    texts = "\n".join(exception_texts(exc))
    for start in range(len(secret) - 3):
        testcase.assertNotIn(secret[start:start + 4], texts)


class FakeResponse(object):
    def __init__(self, status_code, body):
        self.status_code = status_code
        self.body = body
        self.json_calls = 0

    def json(self):
        self.json_calls += 1
        return self.body


class FakeRequests(object):
    """Stands in for the requests module where a test must see the exact
    call; answers with the queued responses, in order."""

    def __init__(self, *responses):
        self.responses = list(responses)
        self.calls = []
        self.looked_up = []  # every post or get asked for, called or not

    def __getattribute__(self, name):
        if name in ("post", "get"):
            object.__getattribute__(self, "looked_up").append(name)
        return object.__getattribute__(self, name)

    def _answer(self, method, args, kwargs):
        self.calls.append((method, args, kwargs))
        return self.responses.pop(0)

    def post(self, *args, **kwargs):
        return self._answer("post", args, kwargs)

    def get(self, *args, **kwargs):
        return self._answer("get", args, kwargs)


class Recorder(object):
    def __init__(self, result=None):
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


class VandrelCase(unittest.TestCase):
    """vandrel with SECRET_FILE, TOKENS_FILE and TALVERO_API_URL rebound to a
    temporary home and a fresh account server; everything restored after."""

    users = {EMAIL: PASSWORD}
    secret = "[secret]\nemail = %s\npassword = %s\n" % (EMAIL, PASSWORD)

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="vesk-tokens-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.folder = os.path.join(self.home, ".talvero")
        os.mkdir(self.folder)
        self.secret_file = os.path.join(self.folder, "secret.file")
        self.tokens_file = os.path.join(self.folder, "tokens.file")
        if self.secret is not None:
            self.write(self.secret_file, self.secret)
        self.server = self.make_server()
        self.addCleanup(self.server.stop)
        self.rebind("SECRET_FILE", self.secret_file)
        self.rebind("TOKENS_FILE", self.tokens_file)
        self.rebind("TALVERO_API_URL", self.server.url)
        environ = mock.patch.dict(os.environ)
        environ.start()
        self.addCleanup(environ.stop)
        os.environ.pop(TIMEOUT_VARIABLE, None)

    def make_server(self):
        return AccountServer(self.users).start()

    def forgetting(self, action, revoke=False):
        """`action` followed by dropping what the server keeps per request
        (and, with `revoke`, per login), so that only our own references
        count in a leak check."""
        def run():
            try:
                action()
            finally:
                self.server.clear_records()
                if revoke:
                    self.server.revoke_all()
        return run

    def rebind(self, name, value):
        """Binds (or, for support.ABSENT, deletes) a module attribute until cleanup."""
        binding = support.rebound(vandrel, name, value)
        binding.__enter__()
        self.addCleanup(binding.__exit__, None, None, None)

    @staticmethod
    def write(path, content):
        mode = "wb" if isinstance(content, bytes) else "w"
        with open(path, mode) as f:
            f.write(content)

    @staticmethod
    def read(path):
        with open(path) as f:
            return f.read()

    def listing(self, folder=None):
        return sorted(os.listdir(folder or self.folder))


class LeakCase(VandrelCase):
    """Reference-leak checks; they need a debug interpreter. The account
    server runs in a process of its own, so that only the client's
    references are counted."""

    def setUp(self):
        if not hasattr(sys, "gettotalrefcount"):
            self.skipTest("needs a debug interpreter (sys.gettotalrefcount)")
        super(LeakCase, self).setUp()

    def make_server(self):
        return AccountServerProcess(self.users).start()
