#!/usr/bin/env python3
"""An account server that misbehaves, and what a checkout's login does with it.

HostileServer (raw sockets on 127.0.0.1, so that it can break HTTP in ways
http.server cannot) plays one scripted answer per connection, in order:
redirects, error pages, answers that trickle, bodies without end, huge
tokens. The tests use it; as a program, it plays each case of CASES against
the vandrel module of a checkout, each in a fresh interpreter with a home of
its own, and prints one line per case: what the call gave, its seconds and
the peak memory of the process.

  python3 tools/hostile_answers.py [--checkout DIR] [--python PY] [CASE...]

--checkout defaults to this tree (its build/pydeps, build/pydeps-sid in
Debian unstable, is put on the path for interpreters without requests); CASE names are listed by --help. A case is
given at most --limit seconds (default 90) and --address-space GiB of
address space (default 2).
"""

import argparse
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def login_body(access, refresh="refresh"):
    return json.dumps({"access_token": access, "refresh_token": refresh}).encode()


class HostileServer(object):
    """Answers each connection with the next queued answer (a function of
    the connection, see the methods below), after reading its request.
    What the requests were: `requests`, (method, path, headers, body)."""

    def __init__(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self._lock = threading.Lock()
        self._answers = []
        self._connections = []
        self.requests = []
        # Per connection, in order: whether its answer was played to its end
        # (False: the client closed before).
        self.played = []
        self._thread = threading.Thread(target=self._serve, name="hostile-server", daemon=True)
        self._thread.start()

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self._listener.getsockname()[1]

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()

    def stop(self):
        try:
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()
        self._thread.join()
        with self._lock:
            for connection in self._connections:
                connection.close()

    def wait_played(self, count, timeout=120):
        """What `played` holds once `count` answers ended (or `timeout` passed)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if len(self.played) >= count:
                    return list(self.played)
            time.sleep(0.05)
        with self._lock:
            return list(self.played)

    def queue(self, answer):
        with self._lock:
            self._answers.append(answer)

    def _serve(self):
        while True:
            try:
                connection = self._listener.accept()[0]
            except OSError:
                return
            with self._lock:
                self._connections.append(connection)
                answer = self._answers.pop(0) if self._answers else None
            threading.Thread(target=self._answer, args=(connection, answer),
                             daemon=True).start()

    def _answer(self, connection, answer):
        try:
            stream = connection.makefile("rb")
            line = stream.readline().decode("latin-1").split()
            if len(line) < 2:
                return
            headers = []
            while True:
                field = stream.readline().decode("latin-1").rstrip("\r\n")
                if not field:
                    break
                name, _, value = field.partition(":")
                headers.append((name.strip(), value.strip()))
            length = int(dict((n.lower(), v) for n, v in headers).get("content-length", 0))
            body = stream.read(length) if length else b""
            with self._lock:
                self.requests.append((line[0], line[1], headers, body))
            if answer is not None:
                answer(connection)
            with self._lock:
                self.played.append(True)
        except (OSError, ValueError):
            with self._lock:
                self.played.append(False)  # the client went away, or sent no request
        finally:
            connection.close()

    # Answers: each returns the function that plays it.

    @staticmethod
    def head(status, fields=(), length=None):
        lines = ["HTTP/1.1 %s" % status] + ["%s: %s" % field for field in fields]
        if length is not None:
            lines.append("Content-Length: %d" % length)
        return ("\r\n".join(lines + ["Connection: close", "", ""])).encode("latin-1")

    @classmethod
    def page(cls, status, body, content_type="application/json", fields=()):
        """A whole answer at once, with its length."""
        def play(connection):
            connection.sendall(cls.head(status, [("Content-Type", content_type)] + list(fields),
                                        len(body)) + body)
        return play

    @classmethod
    def redirect(cls, status, location):
        return cls.page(status, b"", "text/html", [("Location", location)])

    @classmethod
    def trickle(cls, body, interval, in_head=False):
        """The head at once and the body a byte per `interval` seconds; with
        `in_head`, the head too, byte by byte."""
        def play(connection):
            head = cls.head("200 OK", [("Content-Type", "application/json")], len(body))
            connection.sendall(b"" if in_head else head)
            for i, byte in enumerate((head if in_head else b"") + body):
                if i:
                    time.sleep(interval)
                connection.sendall(bytes([byte]))
        return play

    @classmethod
    def stream(cls, total=None, framing="chunked", token_bytes=None):
        """A login answer of `total` bytes (None: without end) in 64 KiB
        writes, framed "chunked", by its "length" or by the "close" of the
        connection. Its access token fills it (`token_bytes` sets the
        token's size and makes a complete JSON answer of it)."""
        def play(connection):
            if token_bytes is not None:
                prefix, suffix = b'{"access_token": "', b'", "refresh_token": "r"}'
                size = len(prefix) + token_bytes + len(suffix)
            else:
                prefix, suffix, size = b'{"access_token": "', b"", total
            fields = [("Content-Type", "application/json")]
            if framing == "chunked":
                fields.append(("Transfer-Encoding", "chunked"))
                frame = lambda data: b"%x\r\n%s\r\n" % (len(data), data)  # noqa: E731
            else:
                frame = lambda data: data  # noqa: E731
            connection.sendall(cls.head("200 OK", fields,
                                        size if framing == "length" else None))
            connection.sendall(frame(prefix))
            sent, piece = len(prefix), b"x" * 65536
            while size is None or sent < size - len(suffix):
                data = piece if size is None else piece[:size - len(suffix) - sent]
                connection.sendall(frame(data))
                sent += len(data)
            if suffix:
                connection.sendall(frame(suffix))
            if framing == "chunked":
                connection.sendall(b"0\r\n\r\n")
        return play


    @classmethod
    def encoded(cls, body, encodings, status="200 OK"):
        """A whole answer of `body` encoded by each of `encodings` in turn and
        sent with its Content-Encoding listing them in that order."""
        data = nested(body, encodings)
        return cls.page(status, data, fields=[("Content-Encoding", ", ".join(encodings))])

    @classmethod
    def bomb(cls, encodings, decoded=2 << 30):
        """A login answer whose nested encodings (e.g. ["gzip", "gzip"]) take
        a few kilobytes on the wire and `decoded` bytes of JSON once decoded."""
        return cls.page("200 OK", bomb_bytes(tuple(encodings), decoded),
                        fields=[("Content-Encoding", ", ".join(encodings))])


# zlib's window bits for each encoding it writes.
_WBITS = {"gzip": 31, "x-gzip": 31, "deflate": 15, "raw-deflate": -15}


def nested(body, encodings):
    """`body` compressed by each of `encodings`, in that order."""
    for encoding in encodings:
        if encoding != "identity":
            compressor = zlib.compressobj(9, zlib.DEFLATED, _WBITS[encoding])
            body = compressor.compress(body) + compressor.flush()
    return body


_BOMBS = {}


def bomb_bytes(encodings, decoded):
    """A JSON token of `decoded` bytes nested in `encodings`, compressed a
    MiB at a time (never held whole); kept for the process's next use."""
    key = (encodings, decoded)
    if key not in _BOMBS:
        compressors = [zlib.compressobj(9, zlib.DEFLATED, _WBITS[e]) for e in encodings]

        def through(data, index=0):
            for compressor in compressors[index:]:
                data = compressor.compress(data)
            return data

        prefix, suffix = b'{"access_token": "', b'", "refresh_token": "r"}'
        parts, left, block = [through(prefix)], decoded - len(prefix) - len(suffix), b"0" * (1 << 20)
        while left > 0:
            parts.append(through(block[:left]))
            left -= len(block)
        parts.append(through(suffix))
        # Each layer's rest goes through the layers outside it.
        tail = b""
        for compressor in compressors:
            tail = compressor.compress(tail) + compressor.flush()
        parts.append(tail)
        _BOMBS[key] = b"".join(parts)
    return _BOMBS[key]


# ------------------------------------------------------------ measurements --

# What a case's child runs: argv[1] is the case's JSON. The module's
# files point into the child's home; the answers are queued by the parent.
CHILD = r"""
import json, os, sys, time
case = json.loads(sys.argv[1])
from vesk.tracking.lite_extensions import vandrel
vandrel.TALVERO_API_URL = case["url"]
def outcome(call):
    start = time.monotonic()
    try:
        result = "returned %r" % (call()[:40],)
    except BaseException as error:
        text = str(error)
        notes = getattr(error, "__notes__", [])
        if error.__cause__ is not None:
            notes = notes + ["cause: %s: %s" % (type(error.__cause__).__name__, error.__cause__)]
        result = "%s: %s%s" % (type(error).__name__, text[:300],
                               "".join(" [%s]" % note for note in notes))
    return result, time.monotonic() - start
first, seconds = outcome(lambda: vandrel.fetch_token("a@b.c", "pw"))
report = {"first": first, "seconds": seconds}
if case.get("next"):
    report["next"] = outcome(vandrel.get_token)[0]
print(json.dumps(report))
"""

ACCOUNT = ("a@b.c", "pw")
OLD_TOKENS = "[TOKENS]\naccess_token = old\nrefresh_token = older\n\n"


def cases(names=None):
    """name -> (what the server does, TALVERO_HTTP_TIMEOUT, check the next call),
    for the cases of `names` (a bomb takes seconds to make); all of them, the
    bombs unmade, without."""
    S = HostileServer
    table = {
        "redirect-307": (lambda other: S.redirect("307 Temporary Redirect",
                                                  other + "/auth/login"), None, False),
        "redirect-302": (lambda other: S.redirect("302 Found", other + "/auth/login"),
                         None, False),
        "token-cr": (S.page("200 OK", login_body("abc\rdef")), None, True),
        "refresh-cr": (S.page("200 OK", login_body("abc", "r1\rr2")), None, True),
        "token-lf": (S.page("200 OK", login_body("abc\ndef")), None, True),
        "token-check-mark": (S.page("200 OK", login_body("ok\u2713")), None, True),
        "token-u2028": (S.page("200 OK", login_body("a\u2028b")), None, True),
        "trickle-1s-timeout-2": (S.trickle(login_body("a" * 40), 1.0), "2", False),
        "trickle-5s-default": (S.trickle(login_body("a" * 40), 5.0), None, False),
        "head-trickle-1s-timeout-2": (S.trickle(login_body("a" * 4), 1.0, in_head=True),
                                      "2", False),
        "endless-chunked": (S.stream(), None, False),
        "endless-close-delimited": (S.stream(framing="close"), None, False),
        "token-64mib": (S.stream(token_bytes=64 << 20, framing="length"), None, True),
        "token-64mib-chunked": (S.stream(token_bytes=64 << 20), None, True),
        "gateway-502": (S.page("502 Bad Gateway", b"<html><body>502 Bad Gateway</body></html>",
                               "text/html"), None, False),
        "timeout-9.3e9": (S.page("200 OK", login_body("abc")), "9.3e9", False),
        "timeout-nbsp-none": (S.page("200 OK", login_body("abc")), "\xa0none", False),
        "timeout-nbsp-5": (S.page("200 OK", login_body("abc")), "\xa05", False),
        # 2 GiB of JSON in a few kilobytes on the wire.
        "bomb-gzip-gzip": (lambda: S.bomb(["gzip", "gzip"]), None, False),
        "bomb-deflate-deflate": (lambda: S.bomb(["deflate", "deflate"]), None, False),
        "bomb-gzip-gzip-gzip": (lambda: S.bomb(["gzip", "gzip", "gzip"]), None, False),
    }
    for name in list(table):
        if names is not None and name not in names:
            del table[name]
        elif names is not None and name.startswith("bomb-"):
            made = table[name]
            table[name] = (made[0](),) + made[1:]
    return table


def run_case(name, python, path, limit, address_space=2 << 30):
    play, timeout, check_next = cases([name])[name]
    home = tempfile.mkdtemp(prefix="vesk-hostile-")
    folder = os.path.join(home, ".talvero")
    os.mkdir(folder)
    with open(os.path.join(folder, "secret.file"), "w") as f:
        f.write("[secret]\nemail = %s\npassword = %s\n" % ACCOUNT)
    if check_next:
        # What an earlier login left, for the next call to hand out.
        with open(os.path.join(folder, "tokens.file"), "w") as f:
            f.write(OLD_TOKENS)
    sys.path.insert(0, HERE)
    from account_server import AccountServer
    other = AccountServer(dict([ACCOUNT])).start()
    server = HostileServer()
    try:
        server.queue(play(other.url) if name.startswith("redirect") else play)
        if check_next:
            # The next call's check: the token it sends is accepted.
            server.queue(HostileServer.page("200 OK", b"{}"))
        environ = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
                   "PYTHONPATH": path, "PYTHONDONTWRITEBYTECODE": "1",
                   "LANG": os.environ.get("LANG", "C.UTF-8")}
        if timeout is not None:
            environ["TALVERO_HTTP_TIMEOUT"] = timeout
        case = json.dumps({"url": server.url, "next": check_next})

        def limits():
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))

        start = time.monotonic()
        child = subprocess.Popen([python, "-c", CHILD, case], env=environ, cwd=home,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 preexec_fn=limits, start_new_session=True)
        killer = threading.Timer(limit, os.killpg, (child.pid, signal.SIGKILL))
        killer.start()
        out = child.stdout.read()
        err = child.stderr.read()
        _, status, usage = os.wait4(child.pid, 0)
        killer.cancel()
        seconds = time.monotonic() - start
        peak = usage.ru_maxrss / 1024.0
        if out.strip():
            report = json.loads(out.decode().strip().splitlines()[-1])
        elif os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL:
            report = {"first": "still waiting after %d s: killed" % limit}
        else:
            report = {"first": "died: %s" % err.decode(errors="replace").strip()[-300:]}
        seen = [(m, p, b.decode(errors="replace")) for m, p, _, b in
                ([] if not name.startswith("redirect") else other.recorded_requests)]
        if name.startswith("redirect"):
            report["other origin saw"] = seen or "nothing"
        tokens = os.path.join(folder, "tokens.file")
        report["tokens file"] = (os.path.getsize(tokens) if os.path.exists(tokens) else None)
        return report, seconds, peak
    finally:
        server.stop()
        other.stop()
        shutil.rmtree(home, ignore_errors=True)


def pydeps_folder():
    """The checkout's folder of requests for interpreters without it: Debian
    unstable's root has its own requests stack, of other versions (Makefile)."""
    try:
        with open("/etc/debian_version") as f:
            return "pydeps-sid" if "sid" in f.read() else "pydeps"
    except OSError:
        return "pydeps"


def main(argv=None):
    names = list(cases())
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog="cases: " + ", ".join(names))
    parser.add_argument("--checkout", default=os.path.dirname(HERE))
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--limit", type=float, default=90.0)
    parser.add_argument("--address-space", type=float, default=2.0, metavar="GIB",
                        help="the child's address space, in GiB (default 2)")
    parser.add_argument("case", nargs="*")
    args = parser.parse_args(argv)
    unknown = sorted(set(args.case) - set(names))
    if unknown:
        parser.error("unknown cases: %s" % ", ".join(unknown))
    checkout = os.path.abspath(args.checkout)
    path = os.pathsep.join([checkout, os.path.join(HERE, os.pardir, "build", pydeps_folder())])
    for name in args.case or names:
        report, seconds, peak = run_case(name, args.python, path, args.limit,
                                         int(args.address_space * (1 << 30)))
        print("%-26s %6.1f s %7.1f MiB  %s" % (name, seconds, peak, json.dumps(report)),
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
