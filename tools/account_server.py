#!/usr/bin/env python3
"""Local stand-in for the account (API) server that the client logs in to.

Endpoints:
  POST /auth/login         form fields "email" and "password"; 200 with
                           {"access_token", "refresh_token"} or 401 {"message"}
  GET  /auth/authenticate  "Authorization: Bearer <access token>"; 200 while the
                           token is known and unexpired, 401 otherwise
Anything else answers 404 (405 for a known path with the wrong method).

Command line: see --help (options, the users-file format, --detach,
--control).

In-process use (tests):
  with AccountServer({"a@b.c": "pw"}) as server:
      server.url, server.login_requests, server.recorded_requests, ...
In a process of its own, driven the same way (reference-leak checks, which
must count the client's references alone):
  with AccountServerProcess({"a@b.c": "pw"}) as server:
      server.url, server.revoke_all(), server.queue_response(...), ...
"""

import argparse
import collections
import json
import os
import secrets
import signal
import socketserver
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, HTTPServer
from urllib.parse import parse_qs, urlsplit

LOGIN_PATH = "/auth/login"
AUTHENTICATE_PATH = "/auth/authenticate"

# One request as the server saw it; headers is a list of (name, value) pairs
# in the order and spelling the client sent them.
RecordedRequest = collections.namedtuple(
    "RecordedRequest", "method path headers body")


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "AccountServer/1.0"
    timeout = 60  # drop idle keep-alive connections eventually

    def log_message(self, format, *args):
        pass

    def _read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    break
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                pass  # trailer fields
            return b"".join(chunks)
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def _send(self, status, body, content_type="application/json"):
        if not isinstance(body, bytes):
            body = json.dumps(body).encode("utf-8")
        self.send_response(status)
        if content_type is not None:
            self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def _dispatch(self):
        try:
            body = self._read_body()
        except ValueError:
            self.close_connection = True
            return self._send(400, {"message": "malformed request body"})
        account = self.server.account
        path = urlsplit(self.path).path
        canned = account._record(RecordedRequest(
            self.command, self.path, list(self.headers.items()), body), path)
        if canned is not None:
            return self._send(*canned)
        expected = {LOGIN_PATH: "POST", AUTHENTICATE_PATH: "GET"}.get(path)
        if expected is None:
            return self._send(404, {"message": "not found"})
        if self.command != expected:
            return self._send(405, {"message": "method not allowed"})
        if path == LOGIN_PATH:
            return self._send(*account._login(body))
        return self._send(*account._authenticate(self.headers.get("Authorization")))

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = _dispatch


class _HTTPServer(socketserver.ThreadingMixIn, HTTPServer):
    daemon_threads = True
    block_on_close = False
    request_queue_size = 128  # many clients may connect at once

    def server_bind(self):
        # Skip HTTPServer's reverse DNS look-up of the bound address.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], OSError):  # client went away
            HTTPServer.handle_error(self, request, client_address)


class AccountServer(object):
    def __init__(self, users, token_lifetime=3600.0, host="127.0.0.1", port=0):
        self._users = dict(users)
        self.token_lifetime = float(token_lifetime)
        self._lock = threading.Lock()
        self._tokens = {}  # access token -> expiry on the time.monotonic clock
        self._owners = {}  # access token -> the e-mail address that logged in
        self._queued = collections.defaultdict(collections.deque)
        self._records = []
        self._counts = collections.Counter()
        self._httpd = _HTTPServer((host, port), _Handler, bind_and_activate=True)
        self._httpd.account = self
        self._thread = None

    @property
    def url(self):
        host, port = self._httpd.server_address[:2]
        return "http://%s:%d" % (host, port)

    def start(self):
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, args=(0.05,), name="account-server", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._thread is not None:
            self._httpd.shutdown()
            self._thread.join()
            self._thread = None
        self._httpd.server_close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()

    def add_user(self, email, password):
        with self._lock:
            self._users[email] = password

    def expire_all(self):
        """Make every token issued so far expired."""
        with self._lock:
            for token in self._tokens:
                self._tokens[token] = float("-inf")

    def revoke_all(self):
        """Forget every token issued so far (checks of them then answer 401)."""
        with self._lock:
            self._tokens.clear()
            self._owners.clear()

    def owner(self, access_token):
        """The e-mail address whose login issued `access_token`, or None."""
        with self._lock:
            return self._owners.get(access_token)

    def clear_records(self):
        """Drop the recorded requests; the per-path counters keep counting."""
        with self._lock:
            del self._records[:]

    def queue_response(self, path, status, body=b"", content_type="application/json"):
        """The next request to `path` (any method) gets this answer; FIFO per path."""
        if isinstance(body, str):
            body = body.encode("utf-8")
        elif not isinstance(body, bytes):
            body = json.dumps(body).encode("utf-8")
        with self._lock:
            self._queued[path].append((status, body, content_type))

    @property
    def login_requests(self):
        with self._lock:
            return self._counts[LOGIN_PATH]

    @property
    def authenticate_requests(self):
        with self._lock:
            return self._counts[AUTHENTICATE_PATH]

    @property
    def recorded_requests(self):
        with self._lock:
            return list(self._records)

    # Called from the handler threads.

    def _record(self, request, path):
        with self._lock:
            self._records.append(request)
            self._counts[path] += 1
            queue = self._queued.get(path)
            return queue.popleft() if queue else None

    def _login(self, body):
        form = parse_qs(body.decode("utf-8", "replace"), keep_blank_values=True)
        email = form.get("email", [None])[0]
        password = form.get("password", [None])[0]
        with self._lock:
            if email not in self._users or self._users[email] != password:
                return 401, {"message": "invalid email or password"}
            access = secrets.token_urlsafe(32)
            self._tokens[access] = time.monotonic() + self.token_lifetime
            self._owners[access] = email
        return 200, {"access_token": access, "refresh_token": secrets.token_urlsafe(32)}

    def _authenticate(self, authorization):
        parts = (authorization or "").split(None, 1)
        if len(parts) == 2 and parts[0].lower() == "bearer":
            with self._lock:
                expiry = self._tokens.get(parts[1].strip())
            if expiry is not None and time.monotonic() < expiry:
                return 200, {"message": "ok"}
            return 401, {"message": "token expired or invalid"}
        return 401, {"message": "missing bearer token"}


class AccountServerProcess(object):
    """An AccountServer in a child process of its own, driven through
    --control: the url and the commands that change what it answers. A
    server's own threads allocate in its process; from 3.14 they leave the
    count of a debug interpreter's references growing for a few hundred
    requests, which a reference-leak check in the same process would take
    for the client's."""

    COMMANDS = ("revoke_all", "expire_all", "clear_records")

    def __init__(self, users, token_lifetime=3600.0):
        self._argv = [sys.executable, os.path.abspath(__file__), "--control",
                      "--token-lifetime", repr(float(token_lifetime))]
        for email, password in dict(users).items():
            self._argv += ["--user", "%s:%s" % (email, password)]
        self._process = None
        self.url = None

    def start(self):
        self._process = subprocess.Popen(self._argv, stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, universal_newlines=True)
        self.url = self._process.stdout.readline().strip()
        if not self.url:
            self.stop()
            raise RuntimeError("the account server did not start")
        return self

    def stop(self):
        if self._process is not None:
            self._process.stdin.close()
            self._process.wait(timeout=30)
            self._process.stdout.close()
            self._process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()

    def _command(self, *words):
        self._process.stdin.write(json.dumps(words) + "\n")
        self._process.stdin.flush()
        answer = self._process.stdout.readline().strip()
        if answer != "ok":
            raise RuntimeError("the account server answered %r to %r" % (answer, words))

    def revoke_all(self):
        self._command("revoke_all")

    def expire_all(self):
        self._command("expire_all")

    def clear_records(self):
        self._command("clear_records")

    def queue_response(self, path, status, body=b"", content_type="application/json"):
        if isinstance(body, bytes):
            body = body.decode("utf-8")
        self._command("queue_response", path, status, body, content_type)


def _serve_commands(server, stream, out):
    """--control: runs the commands read from `stream` until its end."""
    for line in stream:
        words = json.loads(line)
        if words[0] in AccountServerProcess.COMMANDS:
            getattr(server, words[0])()
        elif words[0] == "queue_response":
            server.queue_response(*words[1:])
        else:
            raise ValueError("unknown command %r" % (words,))
        out.write("ok\n")
        out.flush()


HELP = """\
Local stand-in for the account (API) server the vesk client logs in to.

  POST /auth/login         form fields "email" and "password": 200 with
                           {"access_token", "refresh_token"}, or 401 with
                           {"message": "invalid email or password"}
  GET  /auth/authenticate  header "Authorization: Bearer <access token>": 200
                           while the token is known and unexpired, else 401

It listens on 127.0.0.1, prints its URL (http://127.0.0.1:PORT) on one line
and serves until SIGTERM or SIGINT (Ctrl-C). Point the client at it with
TALVERO_API_URL set to that URL.
"""

USERS_FILE_HELP = """\
users file (--users-file): UTF-8 text, one account per line, written
EMAIL:PASSWORD. The line is split at its first colon, so the password may
hold colons; blanks around the line are dropped; empty lines and lines
starting with # are skipped. Example:

  # accounts of the demo
  alice@example.org:correct-horse
  bob@example.org:battery:staple
"""


def _split_user(text, parser):
    email, sep, password = text.partition(":")
    if not sep:
        parser.error("expected EMAIL:PASSWORD, got %r" % text)
    return email, password


def _read_users_file(path, parser):
    users = []
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#"):
                    users.append(_split_user(line, parser))
    except (OSError, UnicodeDecodeError) as error:
        parser.error("cannot read the users file %s: %s" % (path, error))
    return users


def _build_parser():
    parser = argparse.ArgumentParser(
        prog="account_server.py", description=HELP, epilog=USERS_FILE_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--port", type=int, default=0, metavar="N",
        help="port to listen on (default 0: a free port the system picks; the "
             "printed URL names it)")
    parser.add_argument(
        "--user", action="append", default=[], metavar="EMAIL:PASSWORD",
        help="an account the server accepts; repeat for more (split at the first "
             "colon, so the password may hold colons)")
    parser.add_argument(
        "--users-file", metavar="FILE",
        help="accounts read from FILE, one per line (format below)")
    parser.add_argument(
        "--token-lifetime", type=float, default=3600.0, metavar="SECONDS",
        help="how long an access token is accepted after its login (default 3600)")
    parser.add_argument(
        "--detach", action="store_true",
        help="serve from a background process: print the URL and return at once; "
             "stop the server with kill and the process id (see --pid-file)")
    parser.add_argument(
        "--pid-file", metavar="FILE",
        help="write the id of the serving process to FILE before the URL is printed")
    parser.add_argument(
        "--control", action="store_true",
        help="take commands on standard input, one JSON list a line: [\"revoke_all\"], "
             "[\"expire_all\"], [\"clear_records\"] or [\"queue_response\", PATH, STATUS, "
             "BODY, CONTENT_TYPE]; each is answered with a line \"ok\" once done, and the "
             "server stops at the end of the input (tests drive it so)")
    return parser


def _detach():
    """Forks: the parent gets the child's id, the child 0 after it left the
    session and the parent's standard streams (so that a shell's $(...)
    around the parent returns)."""
    pid = os.fork()
    if pid:
        return pid
    os.setsid()
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    os.close(null)
    return 0


def main(argv=None):
    parser = _build_parser()
    args = parser.parse_args(argv)
    if args.control and args.detach:
        parser.error("--control and --detach exclude each other")

    users = _read_users_file(args.users_file, parser) if args.users_file else []
    users.extend(_split_user(u, parser) for u in args.user)
    if not users:
        print("account_server.py: warning: no users, so every login is refused; "
              "add --user EMAIL:PASSWORD or --users-file FILE", file=sys.stderr, flush=True)

    # Bound and listening from here on: a client may connect as soon as the
    # URL is out, even before the serving thread runs.
    server = AccountServer(users, args.token_lifetime, port=args.port)
    if args.detach:
        child = _detach()
        if child:
            if args.pid_file:
                _write_pid(args.pid_file, child)
            print(server.url, flush=True)
            server.stop()  # this process's copy of the socket; the child serves
            return 0
    elif args.pid_file:
        _write_pid(args.pid_file, os.getpid())

    if args.control:
        # Stopped by the end of its input; SIGTERM and SIGINT keep their
        # default action.
        server.start()
        try:
            print(server.url, flush=True)
            _serve_commands(server, sys.stdin, sys.stdout)
        finally:
            server.stop()
        return 0

    # SIGTERM and SIGINT are blocked before the serving threads start, so
    # that they inherit the mask: a signal then stays pending until this
    # thread takes it with sigwait, whichever thread the kernel picked. The
    # disposition is reset first, as a background job may inherit SIGINT
    # as ignored, and an ignored signal is dropped, not left pending.
    stop_signals = {signal.SIGTERM, signal.SIGINT}
    for signum in stop_signals:
        signal.signal(signum, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_BLOCK, stop_signals)
    try:
        server.start()
        if not args.detach:
            print(server.url, flush=True)
        signal.sigwait(stop_signals)
    finally:
        server.stop()
    return 0


def _write_pid(path, pid):
    with open(path, "w") as f:
        f.write("%d\n" % pid)


if __name__ == "__main__":
    sys.exit(main())
