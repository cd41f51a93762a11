"""Command line of the vesk package.

``vesk config`` checks the account's e-mail address and password with the
account server and stores them in ``~/.talvero/secret.file``, the file the
tracking client reads its credentials from. ``vesk status`` tells what is
stored and whether the cached token is usable; ``vesk logout`` removes the
cached token, and with ``--forget`` the credentials too.
"""

import argparse
import contextlib
import getpass
import io
import locale
import os
import stat
import sys
import tempfile

import vesk

# Exit statuses: 2 for a refused command line or value (as argparse does),
# 1 when the server, the file system or the user's answer stops the command,
# 130 after Ctrl-C; `vesk status` has 3 of its own (EXIT_UNCHECKED).
EXIT_USAGE = 2
EXIT_FAILURE = 1
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A failure reported to the user as one line on stderr."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def _build_parser():
    parser = argparse.ArgumentParser(
        prog="vesk",
        description="Client utilities for the vesk tracking service.",
    )
    parser.add_argument(
        "--version", action="version", version="%(prog)s " + vesk.__version__
    )
    # `required=` for sub-parsers only exists from 3.7 on; a missing command
    # is handled in main().
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    config = commands.add_parser(
        "config",
        help="check the account e-mail address and password, then store them",
        description=(
            "Log in once at the account server (TALVERO_API_URL) with the "
            "e-mail address and password, then store them in "
            "~/.talvero/secret.file (readable by the owner only); the token "
            "of that login becomes the cached token. Values not given as "
            "options are asked for on the terminal, again after a value it "
            "refuses; the password is not echoed. A refused login stores "
            "nothing. Where the secret file is a symbolic link, the file it "
            "leads to is replaced."
        ),
    )
    config.add_argument("--email", metavar="EMAIL", help="account e-mail address")
    password = config.add_mutually_exclusive_group()
    password.add_argument(
        "--password",
        metavar="PASSWORD",
        help=(
            "account password (beware: other users may see command-line "
            "arguments in the process list)"
        ),
    )
    password.add_argument(
        "--password-stdin",
        action="store_true",
        help=(
            "read the password from standard input: its first line, without "
            "the line break; nothing after it is read (needs --email). On a "
            "terminal it is asked for without echo"
        ),
    )
    config.add_argument(
        "--no-verify",
        action="store_true",
        help=(
            "store without logging in (for a server that cannot be reached "
            "now); the cached token is removed when the e-mail address changes"
        ),
    )
    config.add_argument(
        "--yes",
        "-y",
        action="store_true",
        help="replace the credentials of another account without asking",
    )
    status = commands.add_parser(
        "status",
        help="show the stored account and whether its cached token is usable",
        description=(
            "Show the stored e-mail address (never the password), the paths "
            "of the secret and tokens files, whether a token is cached and "
            "whether the account server accepts it, and the server URLs; "
            "what needs no request first. A secret file it cannot read is "
            "named with the line and the kind of problem, never quoted. "
            "Exits 0 when a usable token is cached, 1 when none is (none "
            "cached, refused by the account server, a file that cannot be "
            "read), 3 when the account server gave no verdict (unreachable, "
            "a time-out, a proxy or TLS failure, a server or gateway error)."
        ),
    )
    status.add_argument(
        "--offline",
        action="store_true",
        help=(
            "send no request: a cached token then counts as usable without "
            "asking the server"
        ),
    )
    logout = commands.add_parser(
        "logout",
        help="remove the cached token (with --forget, the credentials too)",
        description=(
            "Remove ~/.talvero/tokens.file, and with --forget "
            "~/.talvero/secret.file too, with the copies killed writers "
            "left; a symbolic link's data is removed where it leads, and "
            "the link kept. A file whose data would remain (another hard "
            "link) is not removed, and the command says why and exits 1. "
            "Removing what is not there is not an error."
        ),
    )
    logout.add_argument(
        "--forget",
        action="store_true",
        help="also remove the stored e-mail address and password",
    )
    return parser


def _client():
    # The native module owns the file paths, the server URL and the login;
    # it is imported only by the commands that need it.
    from vesk.tracking.lite_extensions import vandrel

    return vandrel


# Terminal input. Prompts go to the controlling terminal, as getpass's do,
# or to stderr when there is none: stdout carries results only.


def _stdin_is_terminal():
    try:
        return sys.stdin is not None and sys.stdin.isatty()
    except (AttributeError, OSError, ValueError):
        return False


def _ask(prompt):
    """One line typed after `prompt`, without its line break; EOFError on
    Ctrl-D at the start of the line."""
    try:
        fd = os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY)
    except OSError:
        terminal = None
        source, sink = sys.stdin, sys.stderr
    else:
        terminal = io.TextIOWrapper(io.FileIO(fd, "r+"))
        source = sink = terminal
    try:
        sink.write(prompt)
        sink.flush()
        line = source.readline()
    finally:
        if terminal is not None:
            terminal.close()
    if not line:
        raise EOFError
    return line.rstrip("\r\n")


def _ask_password():
    return getpass.getpass("Password: ")


def _confirm(question):
    return _ask(question + " [y/N] ").strip().lower() in ("y", "yes")


def _password_line_from_stdin():
    """The first line of standard input, read byte by byte so that nothing
    after it is consumed; its line break dropped."""
    try:
        fd = sys.stdin.fileno()
    except (AttributeError, OSError, ValueError):
        raise CommandError("there is no standard input to read", EXIT_USAGE)
    line = bytearray()
    while True:
        byte = os.read(fd, 1)
        if not byte or byte == b"\n":
            break
        line += byte
    if line.endswith(b"\r"):
        del line[-1:]
    encoding = sys.stdin.encoding or locale.getpreferredencoding(False)
    try:
        text = line.decode(encoding)
    except UnicodeDecodeError:
        raise CommandError("standard input is not valid {}".format(encoding), EXIT_USAGE)
    if not text:
        raise CommandError("no password on standard input", EXIT_USAGE)
    return text


# Values and files.


def _check_value(label, value):
    # The file is read back with configparser.ConfigParser(): one line per
    # entry, blanks around the value dropped. Values it could not give back
    # unchanged are refused rather than silently altered.
    if not value:
        raise CommandError("the {} must not be empty".format(label), EXIT_USAGE)
    if "\n" in value or "\r" in value:
        raise CommandError(
            "the {} must not contain a line break".format(label), EXIT_USAGE
        )
    if value != value.strip():
        raise CommandError(
            "the {} must not begin or end with blanks".format(label), EXIT_USAGE
        )


def _check_email(email):
    _check_value("e-mail address", email)
    local, _, domain = email.partition("@")
    if not local or not domain or "@" in domain:
        raise CommandError(
            "{!r} is not an e-mail address: it needs one @ with text on both "
            "sides".format(email),
            EXIT_USAGE,
        )


def _ini_value(value):
    # Basic interpolation turns "%%" back into "%" on lookup.
    return value.replace("%", "%%")


def _render(email, password):
    # Same layout as configparser.ConfigParser().write() produces.
    return "[secret]\nemail = {}\npassword = {}\n\n".format(
        _ini_value(email), _ini_value(password)
    )


def _encode(text):
    # The reader opens the file in the interpreter's default encoding; use
    # the same one here and refuse what it cannot represent.
    encoding = locale.getpreferredencoding(False)
    try:
        return text.encode(encoding)
    except UnicodeEncodeError:
        raise CommandError(
            "the credentials cannot be stored in the {} encoding".format(encoding),
            EXIT_USAGE,
        )


def _default_encoding():
    # The encoding open() uses without one: the client reads the files so.
    return io.TextIOWrapper(io.BytesIO()).encoding


def _lines(numbers):
    numbers = sorted(set(n for n in numbers if n is not None))
    if not numbers:
        return "a line"
    if len(numbers) == 1:
        return "line {}".format(numbers[0])
    return "lines {}".format(", ".join(str(n) for n in numbers))


def _known(kind, name, names):
    # Names from the file are shown only when they are ours: anything else
    # may be a password typed on the wrong line.
    return "the {} {!r}".format(kind, name) if name in names else "a " + kind


def _parse_ini(path, names):
    """(parser, None) for the file at `path`, read as the client reads it
    (configparser.ConfigParser() in the default encoding), or (None, what
    is wrong). What is wrong says where and what kind of problem, never
    what the file holds: configparser's own messages quote the lines,
    passwords and tokens included. `names` are the section and key names
    that may be shown."""
    import configparser

    try:
        with open(path, "rb") as handle:
            raw = handle.read()
    except OSError as exc:
        return None, "cannot be opened ({})".format(
            exc.strerror or type(exc).__name__)
    encoding = _default_encoding()
    try:
        raw.decode(encoding)
    except UnicodeDecodeError as exc:
        return None, "{}: bytes that are not valid {}".format(
            _lines([raw.count(b"\n", 0, exc.start) + 1]), encoding)
    parser = configparser.ConfigParser()
    try:
        parser.read_file(io.TextIOWrapper(io.BytesIO(raw), encoding=encoding), path)
    except configparser.MissingSectionHeaderError as exc:
        return None, "{}: text before the first [section] header".format(
            _lines([exc.lineno]))
    except configparser.DuplicateSectionError as exc:
        return None, "{}: {} given twice".format(
            _lines([exc.lineno]), _known("section", exc.section, names))
    except configparser.DuplicateOptionError as exc:
        return None, "{}: {} given twice in its section".format(
            _lines([exc.lineno]), _known("key", exc.option, names))
    except configparser.ParsingError as exc:
        return None, "{}: not a 'key = value' entry".format(
            _lines([number for number, _ in exc.errors]))
    except (configparser.Error, ValueError) as exc:
        return None, "unreadable ({})".format(type(exc).__name__)
    return parser, None


def _key_line(path, section, key):
    """The number of the line that gives `key` in `section`, None when not
    found; the file has already been parsed."""
    import re

    current = None
    try:
        with open(path) as handle:
            for number, line in enumerate(handle, 1):
                header = re.match(r"\[(?P<name>.+)\]", line)
                if header:
                    current = header.group("name")
                    continue
                entry = re.match(r"(?P<key>[^\s=:][^=:]*?)\s*[=:]", line)
                if current == section and entry and entry.group("key").lower() == key:
                    return number
    except (OSError, ValueError):
        return None
    return None


def _lookup(parser, path, section, key):
    """(value, None), or (None, what is wrong) without the value."""
    import configparser

    if not parser.has_section(section):
        return None, "no [{}] section".format(section)
    if not parser.has_option(section, key):
        return None, "no {!r} in [{}]".format(key, section)
    try:
        return parser[section][key], None
    except configparser.InterpolationError as exc:
        number = _key_line(path, section, key)
        where = _lines([number]) + ": " if number else ""
        if isinstance(exc, configparser.InterpolationSyntaxError):
            kind = "a '%' that is not part of '%%' or '%(name)s'"
        else:
            kind = "a '%(name)s' reference that cannot be resolved"
        return None, "{}the {} holds {} (a % is stored as %%)".format(where, key, kind)


def _read_secret(path):
    """(e-mail address or None, what is wrong or None) of the secret file,
    read as the client reads it; the password is looked up and never
    shown."""
    parser, problem = _parse_ini(path, ("secret", "email", "password"))
    if parser is None:
        return None, problem
    email, problem = _lookup(parser, path, "secret", "email")
    if problem is None:
        problem = _lookup(parser, path, "secret", "password")[1]
    return email, problem


def _ensure_folder(folder):
    """Creates `folder` (mode 0700) when missing; True when it did."""
    try:
        os.mkdir(folder, 0o700)
    except FileExistsError:
        # An existing folder keeps its permissions: never loosen them.
        created = False
    except OSError as exc:
        raise CommandError(
            "cannot create {}: {}".format(folder, exc.strerror or exc), EXIT_FAILURE
        )
    else:
        # mkdir's mode is filtered through the umask; make it exactly 0700.
        os.chmod(folder, 0o700)
        created = True
    if not os.path.isdir(folder):
        raise CommandError("{} exists and is not a folder".format(folder), EXIT_FAILURE)
    return created


# Links. The client writes the tokens file through a symbolic link, over
# the file the link leads to; the command does the same with both files: a
# write replaces the data where it is, and a removal removes it there. The
# links stay: they are the user's arrangement, and the next write goes
# through them again.


def _data_path(path):
    """Where the data of `path` is: the file at the end of its links (the
    client's os.path.realpath, parent folders included)."""
    target = os.path.realpath(path)
    if os.path.islink(target):
        raise CommandError(
            "{} is a symbolic link that leads nowhere (a loop)".format(path), EXIT_FAILURE
        )
    return target


def _link_words(path):
    """How `path` stands: 'present' or 'missing', with where a link leads."""
    if not os.path.islink(path) and os.path.realpath(path) == os.path.abspath(path):
        return "present" if os.path.lexists(path) else "missing"
    target = os.path.realpath(path)
    if os.path.islink(target):
        return "missing: a link that leads nowhere (a loop)"
    if os.path.lexists(target):
        return "present, a link to {}".format(target)
    return "missing: a link to {}, which does not exist".format(target)


# Temporary files. A file is written whole under a temporary name in the
# folder of its data, synced, and renamed over it. On Linux the new file
# has no name while it is written and synced (O_TMPFILE) and is named
# through /proc/self/fd just before the rename, so a process killed
# meanwhile leaves nothing behind; elsewhere, or where the kernel or the
# file system refuses, mkstemp names it at once. The writer holds an
# exclusive flock on the file until the rename is done, as the client's
# login does: a file nobody holds the lock of was left by a killed writer.
# Such leftovers are removed by the next `vesk config` once they are ten
# minutes old (a younger one may be a writer's between mkstemp and its
# lock), and by `vesk logout` at once.

ABANDONED_AFTER_SECONDS = 10 * 60


def _temporary_name(folder, prefix):
    import random

    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789_"
    draw = random.SystemRandom()
    return os.path.join(
        folder, "{}{}.tmp".format(prefix, "".join(draw.choice(alphabet) for _ in range(8)))
    )


def _lock(fd):
    import fcntl

    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        pass  # no flock on this file system: the age alone keeps the file


def _write_synced(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]
    os.fsync(fd)


def _unnamed_file(folder):
    """A descriptor of a new file without a name in `folder`, mode 0600;
    None where there are none."""
    flag = getattr(os, "O_TMPFILE", None)
    if flag is None or not os.path.isdir("/proc/self/fd"):
        return None
    try:
        return os.open(folder, flag | os.O_WRONLY | os.O_CLOEXEC, 0o600)
    except OSError:
        return None


def _name_unnamed(fd, folder, prefix):
    """Gives the unnamed file open at `fd` a temporary name; None where the
    link is refused."""
    for _ in range(100):
        name = _temporary_name(folder, prefix)
        try:
            os.link("/proc/self/fd/{}".format(fd), name)
        except FileExistsError:
            continue
        except OSError:
            return None
        return name
    return None


def _replace(temporary, target):
    try:
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _write_atomically(target, data, prefix=".secret."):
    folder = os.path.dirname(target)
    fd = _unnamed_file(folder)
    if fd is not None:
        try:
            _lock(fd)
            _write_synced(fd, data)
            temporary = _name_unnamed(fd, folder, prefix)
            if temporary is not None:
                _replace(temporary, target)
        finally:
            os.close(fd)
    if fd is None or temporary is None:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=prefix, suffix=".tmp")
        try:
            _lock(fd)
            try:
                _write_synced(fd, data)
            except BaseException:
                os.unlink(temporary)
                raise
            _replace(temporary, target)
        finally:
            os.close(fd)
    # Make the rename itself durable; not every file system allows this.
    try:
        dir_fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def _remove_leftovers(folder, prefix, older_than):
    """Removes the temporary files ("<prefix>*.tmp") that killed writers
    left in `folder`: regular files, older than `older_than` seconds, whose
    lock nobody holds; never through a link. Returns (how many were
    removed, [(path, why it could not be removed)])."""
    import fcntl
    import time

    removed, stuck = 0, []
    try:
        names = os.listdir(folder)
    except OSError:
        return removed, stuck
    now = time.time()
    for name in names:
        if not (name.startswith(prefix) and name.endswith(".tmp")):
            continue
        path = os.path.join(folder, name)
        try:
            seen = os.lstat(path)
            if not stat.S_ISREG(seen.st_mode) or seen.st_mtime > now - older_than:
                continue
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY
                         | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            opened = os.fstat(fd)
            if (opened.st_dev, opened.st_ino) != (seen.st_dev, seen.st_ino):
                continue
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                continue  # a live writer's
            except OSError:
                pass
            current = os.lstat(path)
            if (current.st_dev, current.st_ino) == (opened.st_dev, opened.st_ino):
                os.unlink(path)
                removed += 1
        except FileNotFoundError:
            pass
        except OSError as exc:
            stuck.append((path, exc.strerror or str(exc)))
        finally:
            os.close(fd)
    return removed, stuck


def _identity(path):
    """What tells one version of a file from the next, None when absent.
    The login replaces the tokens file by a rename: a new inode."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_ino, info.st_mtime_ns, info.st_size


def _remove(path, what):
    """Removes the data of `path`, at the end of its links; a line that
    says what was removed, or None when there was nothing. Refuses, with
    the reason, what would leave the data in place."""
    if not os.path.lexists(path):
        return None
    target = _data_path(path)
    try:
        info = os.lstat(target)
    except FileNotFoundError:
        return None  # a link to nothing: no data
    except OSError as exc:
        raise CommandError(
            "cannot remove {}: {}".format(target, exc.strerror or exc), EXIT_FAILURE
        )
    if stat.S_ISDIR(info.st_mode):
        raise CommandError(
            "cannot remove {}: it is a folder, not {}".format(target, what), EXIT_FAILURE
        )
    if not stat.S_ISREG(info.st_mode):
        raise CommandError(
            "cannot remove {}: it is not a regular file".format(target), EXIT_FAILURE
        )
    if info.st_nlink > 1:
        raise CommandError(
            "not removed {}: {} other name{} of the file (hard links) would keep {}; "
            "remove {} too".format(target, info.st_nlink - 1,
                                   "s" if info.st_nlink > 2 else "", what,
                                   "them" if info.st_nlink > 2 else "it"),
            EXIT_FAILURE,
        )
    try:
        os.remove(target)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise CommandError(
            "cannot remove {}: {}".format(target, exc.strerror or exc), EXIT_FAILURE
        )
    if target != os.path.abspath(path):
        return "removed {} ({}), where {} leads".format(target, what, path)
    return "removed {} ({})".format(target, what)


# Talking to the account server.

TIMEOUT_VARIABLE = "TALVERO_HTTP_TIMEOUT"


def _wait_limits():
    """(connect, read) seconds the client waits, as it reads
    TALVERO_HTTP_TIMEOUT: None for no limit, () for a value it refuses
    (the request then fails before anything is sent)."""
    import math

    value = os.environ.get(TIMEOUT_VARIABLE, "")
    if not value:
        return 10.0, 60.0
    if value.strip().lower() == "none":
        return None
    try:
        numbers = [float(part) for part in value.split(",")]
    except ValueError:
        return ()
    if len(numbers) > 2 or not all(math.isfinite(n) and n > 0 for n in numbers):
        return ()
    return (numbers[0], numbers[-1])


def _seconds(value):
    return "{:g} s".format(value)


def _wait_words():
    limits = _wait_limits()
    if limits is None:
        return " (no time-out: {}=none)".format(TIMEOUT_VARIABLE)
    if not limits:
        return ""
    return " (up to {} to connect, {} for the answer)".format(*map(_seconds, limits))


def _note(command, text):
    print("vesk {}: {}".format(command, text), file=sys.stderr)
    sys.stderr.flush()


def _proxy_for(url):
    """The proxy requests uses for `url`, without its user and password;
    None when it goes direct."""
    try:
        from urllib.parse import urlsplit

        import requests

        proxies = requests.utils.get_environ_proxies(url)
        proxy = requests.utils.select_proxy(url, proxies)
        if not proxy:
            return None
        parts = urlsplit(proxy if "://" in proxy else "http://" + proxy)
        host = parts.hostname or ""
        if ":" in host:
            host = "[{}]".format(host)
        port = ":{}".format(parts.port) if parts.port else ""
        return "{}://{}{}".format(parts.scheme, host, port)
    except Exception:  # noqa: B902 - only words depend on it
        return None


def _reason(exc):
    """The innermost cause of a failed request, in its own words, without
    the repr of urllib3's objects and the errno."""
    import re

    seen = set()
    while id(exc) not in seen:
        seen.add(id(exc))
        inner = getattr(exc, "reason", None)
        if not isinstance(inner, BaseException):
            inner = next((a for a in reversed(exc.args) if isinstance(a, BaseException)), None)
        if inner is None:
            # urllib3 2 chains the socket's error instead of holding it.
            inner = exc.__cause__
        if inner is None:
            break
        exc = inner
    text = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
    text = " ".join(str(text).split())
    text = re.sub(r"^<[^>]*>: ", "", text)
    text = re.sub(r"^\w+\(host=[^)]*\): ", "", text)
    text = re.sub(r"^Failed to establish a new connection: ", "", text)
    text = re.sub(r"^\[Errno -?\d+\] ", "", text)
    text = re.sub(r"^\[SSL: [A-Z0-9_]+\] ", "", text)
    text = re.sub(r" \(_ssl\.c:\d+\)$", "", text)
    return text or type(exc).__name__


def _server_trouble(exc, url):
    """One line for a request that failed: what went wrong, the URL, and
    the proxy where one is used."""
    import requests

    errors = requests.exceptions
    proxy = _proxy_for(url)
    via = " through the proxy {}".format(proxy) if proxy else ""
    limits = _wait_limits() or (None, None)
    if isinstance(exc, ValueError) and TIMEOUT_VARIABLE in str(exc):
        return str(exc)
    if isinstance(exc, errors.ConnectTimeout):
        within = " within {}".format(_seconds(limits[0])) if limits[0] else ""
        return ("cannot reach the account server at {}{}: no connection{} "
                "({} sets the wait)".format(url, via, within, TIMEOUT_VARIABLE))
    if isinstance(exc, errors.Timeout):
        within = " within {}".format(_seconds(limits[1])) if limits[1] else ""
        return ("the account server at {}{} did not answer{} ({} sets the "
                "wait)".format(url, via, within, TIMEOUT_VARIABLE))
    if isinstance(exc, errors.ProxyError):
        return "cannot reach the account server at {}{}: the proxy failed: {}".format(
            url, via, _reason(exc))
    if isinstance(exc, errors.SSLError):
        reason = _reason(exc)
        hint = (" (a private certificate authority goes in REQUESTS_CA_BUNDLE)"
                if "certificate" in reason else "")
        return "cannot reach the account server at {}{}: TLS failed: {}{}".format(
            url, via, reason, hint)
    if isinstance(exc, errors.ConnectionError):
        return "cannot reach the account server at {}{}: {}".format(url, via, _reason(exc))
    return "the exchange with the account server at {}{} failed: {}: {}".format(
        url, via, type(exc).__name__, _reason(exc))


class _Observer(object):
    """Stands in for requests in the client's namespace while one of its
    calls runs. The client looks `requests` up there at each call, so its
    requests go through this, which passes everything on and keeps the
    answers: the command tells a refusal from a server's failure by them.
    """

    def __init__(self, real):
        self._real = real
        self.answers = []

    @property
    def last(self):
        return self.answers[-1] if self.answers else None

    def __getattr__(self, name):
        return getattr(self._real, name)

    def _kept(self, function, judged_here):
        def call(*args, **kwargs):
            answer = function(*args, **kwargs)
            if judged_here:
                _keep_some_body(answer)
            self.answers.append(answer)
            return answer

        return call

    # The client closes a token check's answer with its body unread; the
    # login reads its own within bounds, and so keeps it.
    @property
    def get(self):
        return self._kept(self._real.get, True)

    @property
    def post(self):
        return self._kept(self._real.post, False)


# The most of a refused token check's body the command reads to judge it.
JUDGED_BODY = 1 << 16


def _keep_some_body(answer):
    """Reads at most JUDGED_BODY bytes of a streamed answer that is not 200
    and keeps them as its body, for _answer_words after the client has
    closed it."""
    if getattr(answer, "status_code", 200) == 200 or getattr(answer, "_content", None) is not False:
        return
    body = b""
    try:
        for piece in answer.iter_content(4096):
            body += piece
            if len(body) >= JUDGED_BODY:
                break
    except Exception:  # noqa: B902 - judged by what did arrive
        pass
    answer._content = body[:JUDGED_BODY]
    answer._content_consumed = True


def _body(answer):
    """The body of an answer as far as it can still be had; b"" when not."""
    try:
        return answer.content or b""
    except Exception:  # noqa: B902 - closed unread, or cut off
        return b""


@contextlib.contextmanager
def _observing(client, observer):
    real = client.requests
    client.requests = observer
    try:
        yield observer
    finally:
        client.requests = real


def _answer_words(answer):
    """(the status as words, the server's message or None, whether the body
    is JSON) of an HTTP answer."""
    from http.client import responses

    code = answer.status_code
    words = "{} {}".format(code, responses.get(code, "")).strip()
    try:
        body = answer.json()
    except Exception:  # noqa: B902 - any undecodable body
        empty = not _body(answer).strip()
        return words, None, empty
    message = body.get("message") if isinstance(body, dict) else None
    if message is not None:
        message = " ".join(str(message).split())[:200]
    return words, message, True


def _judge_refusal(answer, url):
    """(refused, words) for a token check the client did not accept: a
    refusal of the token (401, 403 from the account server), or no
    verdict (a server or gateway error, a proxy's page, a busy server)."""
    if answer is None:
        return True, "not accepted by the account server"
    words, message, json_body = _answer_words(answer)
    said = ": {}".format(message) if message else ""
    code = answer.status_code
    if code in (401, 403) and json_body:
        return True, "refused by the account server ({}: {})".format(
            words, message or "expired or revoked")
    if not json_body:
        return False, ("the answer from {} was {} with a page that is not the account "
                       "server's JSON (a proxy or gateway in between?)".format(url, words))
    if code == 429:
        return False, "the account server at {} is busy ({}{}); try again later".format(
            url, words, said)
    if code >= 500:
        return False, "the account server at {} failed ({}{})".format(url, words, said)
    return False, ("the account server at {} answered {}{}, which is no verdict on the "
                   "token (is TALVERO_API_URL the account server?)".format(url, words, said))


def _log_in(client, email, password):
    """One login through the client's own fetch_token, which writes the
    tokens file; CommandError when the server refuses or cannot be asked."""
    url = str(client.TALVERO_API_URL)
    _note("config", "logging in at {}/auth/login{}".format(url, _wait_words()))
    observer = _Observer(client.requests)
    try:
        with _observing(client, observer):
            client.fetch_token(email, password)
    except Exception as exc:
        raise CommandError(_login_failure(observer.last, url, exc), EXIT_FAILURE)


def _login_failure(answer, url, exc):
    """The words for a login that failed with `exc` after `answer` (None
    when none came): a refusal, or a failure to ask, which --no-verify
    gets around."""
    unverified = "nothing written (--no-verify stores the credentials without logging in)"
    if answer is None:
        return "{}; {}".format(_server_trouble(exc, url), unverified)
    words, message, json_body = _answer_words(answer)
    if not json_body:
        return ("the answer from {} was {} with a page that is not the account server's "
                "JSON (a proxy or gateway in between?); {}".format(url, words, unverified))
    code = answer.status_code
    if code == 429 or code >= 500:
        return "the account server at {} could not take the login ({}{}); {}".format(
            url, words, ": " + message if message else "", unverified)
    if code == 200:
        return "{}; {}".format(_server_trouble(exc, url), unverified)
    if 300 <= code < 400:
        # The client follows no redirect; its own words name where it led.
        message = " ".join(str(exc).split())[:300]
    return "the account server at {} refused the login: {}; nothing written".format(
        url, message or words)


# Terminal retries: a value typed on the terminal that is refused is asked
# for again, a few times; values from options and pipes are not.

TRIES = 3


def _tell_terminal(text):
    try:
        fd = os.open("/dev/tty", os.O_WRONLY | os.O_NOCTTY)
    except OSError:
        print(text, file=sys.stderr)
        sys.stderr.flush()
        return
    try:
        os.write(fd, (text + "\n").encode(_default_encoding(), "replace"))
    finally:
        os.close(fd)


def _ask_until_valid(ask, check):
    for attempt in range(1, TRIES + 1):
        value = ask()
        try:
            check(value)
        except CommandError as exc:
            if attempt == TRIES:
                raise
            _tell_terminal("{}; try again".format(exc))
            continue
        return value


# The commands. Each returns its exit status; results go to `out`, notes to
# stderr.


def run_config(args, out):
    interactive = _stdin_is_terminal()
    email = args.email
    if args.password_stdin and email is None:
        raise CommandError("--password-stdin needs --email", EXIT_USAGE)
    if not interactive and (email is None or (args.password is None
                                              and not args.password_stdin)):
        raise CommandError(
            "standard input is not a terminal; pass --email and --password "
            "(or --password-stdin)",
            EXIT_USAGE,
        )
    if email is None:
        email = _ask_until_valid(lambda: _ask("E-mail: "), _check_email)
    else:
        _check_email(email)

    client = _client()
    secret_file, tokens_file = client.SECRET_FILE, client.TOKENS_FILE
    previous = None
    replaces = False
    if os.path.exists(secret_file):
        previous, _ = _read_secret(secret_file)
        replaces = previous != email
    if replaces and interactive and not args.yes:
        question = "{} holds {}. Replace {} with {}?".format(
            secret_file, "the account " + previous if previous else "credentials",
            previous or "them", email)
        if not _confirm(question):
            raise CommandError(
                "kept {}; nothing written".format(previous or "the secret file"),
                EXIT_FAILURE,
            )

    check_password = lambda value: _check_value("password", value)  # noqa: E731
    if args.password is not None:
        password = args.password
        check_password(password)
    elif args.password_stdin and not interactive:
        password = _password_line_from_stdin()
        check_password(password)
    else:
        password = _ask_until_valid(_ask_password, check_password)
    data = _encode(_render(email, password))

    created = _ensure_folder(os.path.dirname(secret_file))
    tokens_before = _identity(tokens_file)
    dropped_token = written = False
    try:
        target = _data_path(secret_file)
        _remove_leftovers(os.path.dirname(target), ".secret.", ABANDONED_AFTER_SECONDS)
        if not args.no_verify:
            _log_in(client, email, password)
        elif previous != email:
            # Unchecked credentials of another account: the cached token
            # must go first, or it would be handed out for them.
            dropped_token = _remove(tokens_file, "the cached token") is not None
        try:
            others = os.stat(target).st_nlink - 1
        except OSError:
            others = 0
        try:
            _write_atomically(target, data)
        except OSError as exc:
            raise CommandError(
                "cannot write {}: {}".format(target, exc.strerror or exc),
                EXIT_FAILURE,
            )
        written = True
    finally:
        if not written:
            # A token of the new account must not outlive a failed or
            # interrupted command: it would be handed out for the old one.
            if _identity(tokens_file) != tokens_before:
                try:
                    _remove(tokens_file, "the cached token")
                except CommandError:
                    pass
            if created:
                try:
                    os.rmdir(os.path.dirname(secret_file))
                except OSError:
                    pass

    where = secret_file if target == os.path.abspath(secret_file) else "{}, where {} leads".format(
        target, secret_file)
    replaced = ""
    if replaces:
        replaced = ", replacing {}".format(
            previous or "credentials that named no e-mail address")
    if args.no_verify:
        print("credentials written to {}{} (not checked with the account "
              "server)".format(where, replaced), file=out)
        if dropped_token:
            print("removed {}, the cached token of {}".format(
                tokens_file, previous or "the previous credentials"), file=out)
    else:
        print("logged in to {} as {}".format(client.TALVERO_API_URL, email), file=out)
        print("credentials written to {}{}".format(where, replaced), file=out)
    if others > 0:
        _note("config", "warning: the file replaced had {} other name{} (hard links), which "
              "still hold the old credentials".format(others, "s" if others > 1 else ""))
    return 0


# Exit statuses of `vesk status`: 0 a usable token is cached; 1 none is
# (none cached, refused by the account server, a file that cannot be read,
# no credentials); 3 the account server gave no verdict on the cached token
# (unreachable, a time-out, a proxy or TLS failure, a server or gateway
# error, a busy server).
EXIT_UNCHECKED = 3


def _token_state(client, offline):
    """(exit status, words) for the cached token."""
    tokens_file = client.TOKENS_FILE
    if not os.path.exists(tokens_file):
        return EXIT_FAILURE, "none cached"
    parser, problem = _parse_ini(tokens_file, ("TOKENS", "access_token", "refresh_token"))
    if parser is None:
        return EXIT_FAILURE, "the tokens file cannot be read: {}".format(problem)
    problem = _lookup(parser, tokens_file, "TOKENS", "access_token")[1]
    if problem is not None:
        return EXIT_FAILURE, "the tokens file holds no token: {}".format(problem)
    if offline:
        return 0, "cached, not checked (--offline)"
    url = str(client.TALVERO_API_URL)
    _note("status", "checking the cached token at {}/auth/authenticate{}".format(
        url, _wait_words()))
    observer = _Observer(client.requests)
    try:
        with _observing(client, observer):
            expired = client.expired_token()
    except Exception as exc:
        return EXIT_UNCHECKED, "cached, not checked: " + _server_trouble(exc, url)
    if not expired:
        return 0, "cached, accepted by the account server"
    refused, words = _judge_refusal(observer.last, url)
    if refused:
        return EXIT_FAILURE, "cached, {}; the next get_token() logs in again".format(words)
    return EXIT_UNCHECKED, "cached, not checked: " + words


def _permission_warning(path):
    # As ssh does for its keys: the password must be the owner's alone.
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        return
    if mode & 0o077:
        print("vesk status: warning: permissions {:04o} of {} are too open: other "
              "users may read the password; run: chmod 600 {}".format(mode, path, path),
              file=sys.stderr)


def run_status(args, out):
    client = _client()
    secret_file, tokens_file = client.SECRET_FILE, client.TOKENS_FILE
    if os.path.exists(secret_file):
        email, problem = _read_secret(secret_file)
        if problem is None:
            account = email
        elif email is not None:
            account = "{} ({}: {})".format(email, secret_file, problem)
        else:
            account = "unusable: {}: {}".format(secret_file, problem)
    else:
        problem = "missing"
        account = "not configured (run: vesk config)"
    # What needs no request first, at once: the check may take a while.
    rows = [("account", account),
            ("secret file", "{} ({})".format(secret_file, _link_words(secret_file))),
            ("tokens file", "{} ({})".format(tokens_file, _link_words(tokens_file))),
            ("TALVERO_API_URL", client.TALVERO_API_URL),
            ("TRACKING_URI", client.TRACKING_URI)]
    for label, value in rows:
        print("{:<16} {}".format(label + ":", value), file=out)
    out.flush()
    if os.path.exists(secret_file):
        _permission_warning(secret_file)
    status, token = _token_state(client, args.offline)
    print("{:<16} {}".format("token:", token), file=out)
    if problem is not None:
        return EXIT_FAILURE
    return status


def run_logout(args, out):
    client = _client()
    lines, failures = [], []
    wanted = [(client.TOKENS_FILE, "the cached token", ".tokens.")]
    if args.forget:
        wanted.append((client.SECRET_FILE, "the credentials", ".secret."))
    for path, what, prefix in wanted:
        try:
            line = _remove(path, what)
            folder = os.path.dirname(_data_path(path))
        except CommandError as exc:
            failures.append(str(exc))
            continue
        if line:
            lines.append(line)
        # Copies that killed writers left hold the same secrets.
        removed, stuck = _remove_leftovers(folder, prefix, 0)
        if removed:
            lines.append("removed {} leftover cop{} of {} ({}*.tmp) in {}".format(
                removed, "ies" if removed > 1 else "y", what, prefix, folder))
        failures.extend("cannot remove {}: {}".format(name, why) for name, why in stuck)
    if not lines and not failures:
        lines.append("nothing to remove: {}".format(
            "no cached token and no stored credentials" if args.forget else "no cached token"))
    if not args.forget and os.path.exists(client.SECRET_FILE):
        lines.append("kept {} (the credentials; vesk logout --forget removes them)".format(
            client.SECRET_FILE))
    for line in lines:
        print(line, file=out)
    for failure in failures:
        print("vesk logout: {}".format(failure), file=sys.stderr)
    return EXIT_FAILURE if failures else 0


COMMANDS = {"config": run_config, "status": run_status, "logout": run_logout}

# What an interrupted command leaves: only config writes.
UNCHANGED = {"config": "; nothing written"}


def main(argv=None):
    parser = _build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    try:
        return COMMANDS[args.command](args, sys.stdout)
    except CommandError as exc:
        print("vesk {}: {}".format(args.command, exc), file=sys.stderr)
        return exc.status
    except EOFError:
        print("\nvesk {}: input ended{}".format(args.command, UNCHANGED.get(args.command, "")),
              file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print("\nvesk {}: interrupted{}".format(args.command, UNCHANGED.get(args.command, "")),
              file=sys.stderr)
        return EXIT_INTERRUPTED
