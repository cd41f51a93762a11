"""Plain-Python twin of vesk.tracking.lite_extensions.vandrel.

The peer benchmark (bench/peer_benchmark.py) measures the native module
against this module as it is, and against this module compiled by Cython.
It is written as the idiomatic Python module the native one stands in for:
the same imports in the same order, the same constants, functions and
exception, and the same behaviour on the paths the benchmark measures. The
benchmark copies it into a folder of its own as `vandrel.py`, so that every
peer is imported under the same name.

Not part of the package: nothing imports it but the benchmark.
"""

from functools import wraps
import os
import sys
import requests
import configparser
import re
import socket
import time
import zlib
from pathlib import Path
from vesk.tracking.exceptions import MlflowException, TarnelException
from vesk.tracking.utils import env
from vesk.utils import cyan_print, red_print
from vesk.tracking.lite_extensions.urls import TRACKING_URI, TALVERO_API_URL

_EXPERIMENT_ID_ENV_VAR = "MLFLOW_EXPERIMENT_ID"
_RUN_ID_ENV_VAR = "MLFLOW_RUN_ID"

HOME = Path.home()
SECRET_FILE = os.path.join(HOME, Path(".talvero/secret.file"))
TOKENS_FILE = os.path.join(HOME, Path(".talvero/tokens.file"))


def create_secret_file_guide():
    cyan_print(
        "couldn't locate your credentials, please configure by typing "
        "`vesk config` in a terminal"
    )


class LoginError(Exception):
    pass


def get_host_uri():
    return TRACKING_URI


# The one reader of both files (the native module's ini_reading.cpp): a
# regular file of at most 1 MiB, opened without blocking, decoded as open()
# decodes, parsed under its name; an error of the parser or the decoder is
# raised again of its class, without the file's text.
_LARGEST_INI_FILE = 1 << 20
_SHOWN_NAMES = ("secret", "email", "password", "TOKENS", "access_token", "refresh_token")


def _read_bounded(path):
    path = os.fsencode(path)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except OSError:
        return None
    try:
        status = os.fstat(fd)
        if status.st_mode & 0o170000 != 0o100000 or status.st_size > _LARGEST_INI_FILE:
            return None
        pieces, total = [], 0
        while total <= _LARGEST_INI_FILE:
            # The size seen and one byte more, to notice a file that grew.
            piece = os.read(fd, _LARGEST_INI_FILE + 1 - total if pieces else status.st_size + 1)
            if not piece:
                break
            pieces.append(piece)
            total += len(piece)
        return b"".join(pieces) if total <= _LARGEST_INI_FILE else None
    except OSError:
        return None
    finally:
        os.close(fd)


def _decoded(raw):
    import io

    return io.TextIOWrapper(io.BytesIO(raw)).read()


def _located(source, lines, kind):
    where = ""
    if lines:
        where = (", line " if len(lines) == 1 else ", lines ") + ", ".join(map(str, lines))
    return "%s%s: %s (its text is not shown)" % (
        repr(source) if source is not None else "the file", where, kind)


def _scrubbed(value, source, original_message, message):
    if value is None or isinstance(value, int):
        return value
    if original_message is not None and value == original_message:
        return message
    if value == source:
        return source
    if isinstance(value, str):
        return value if value in _SHOWN_NAMES else ""
    if isinstance(value, (tuple, list)):
        return type(value)(_scrubbed(v, source, original_message, message) for v in value)
    return None


def _rebuilt(original, source, message):
    kind = type(original)
    old_message = getattr(original, "message", None)
    args = _scrubbed(original.args, source, old_message, message)
    error = kind.__new__(kind, *args)
    error.args = args
    error.message = message
    for name, value in vars(original).items():
        if not name.startswith("__") and name != "message":
            setattr(error, name, _scrubbed(value, source, old_message, message))
    return error


def _parse_error(error, source):
    if isinstance(error, configparser.MissingSectionHeaderError):
        kind = "text before the first section header"
    elif isinstance(error, configparser.ParsingError):
        kind = "neither a section header, an entry, a continuation, a comment nor blank"
    elif isinstance(error, configparser.DuplicateSectionError):
        kind = ("the section %r given twice" % error.section if error.section in _SHOWN_NAMES
                else "a section given twice")
    elif isinstance(error, configparser.DuplicateOptionError):
        kind = ("the key %r given twice in its section" % error.option
                if error.option in _SHOWN_NAMES else "a key given twice in its section")
    else:
        kind = "cannot be parsed (%s)" % type(error).__name__
    lines = [error.lineno] if isinstance(getattr(error, "lineno", None), int) else []
    lines += [entry[0] for entry in getattr(error, "errors", ())]
    return _rebuilt(error, source, _located(source, lines, kind))


def _decode_error(error, raw, source):
    head = raw[:error.start]
    line = head.count(b"\n") + head.count(b"\r") - head.count(b"\r\n") + 1
    reason = _located(source, [line], "bytes not valid in the encoding %r" % error.encoding)
    return type(error)(error.encoding, b"", error.start, error.end, reason)


def _read_ini(parser, path):
    # The text read, None when the file reads as having no sections.
    raw = _read_bounded(path)
    if raw is None:
        return None
    source = os.fspath(path)
    try:
        text = _decoded(raw)
        error = None
    except UnicodeDecodeError as exc:
        error = _decode_error(exc, raw, source)
    if error is None:
        try:
            parser.read_string(text, source)
            return text
        except configparser.Error as exc:
            error = _parse_error(exc, source)
    raise error from None


def _key_line(text, section, key):
    current, entry_indent = None, None
    for number, line in enumerate(text.split("\n"), 1):
        content = line.strip()
        indent = len(line) - len(line.lstrip())
        if not content or content[0] in "#;":
            continue
        if entry_indent is not None and indent > entry_indent:
            continue
        closing = content.rfind("]")
        if content[0] == "[" and closing > 1:
            current, entry_indent = content[1:closing], None
            continue
        entry_indent = indent
        cuts = [cut for cut in (content.find("="), content.find(":")) if cut >= 0]
        name = content[:min(cuts)].rstrip() if cuts else content
        if current == section and name.lower() == key:
            return number
    return 0


def _value(parser, section, key, path, text=None):
    # parser[section][key]; an interpolation error without the value.
    proxy = parser[section]
    try:
        return proxy[key]
    except configparser.Error as exc:
        source = os.fspath(path)
        if text is None:
            raw = _read_bounded(path)
            try:
                text = _decoded(raw) if raw is not None else None
            except ValueError:
                text = None
        line = _key_line(text, section, key) if text is not None else 0
        if isinstance(exc, configparser.InterpolationSyntaxError):
            what = "holds a '%' that is not part of '%%' or '%(name)s' (a % is stored as %%)"
        elif isinstance(exc, configparser.InterpolationMissingOptionError):
            what = "refers with '%(name)s' to a key that does not exist (a % is stored as %%)"
        elif isinstance(exc, configparser.InterpolationDepthError):
            what = "refers with '%(name)s' to other values too deeply"
        else:
            what = "cannot be interpolated"
        kind = "the value of %r in the section %r %s" % (key, section, what)
        error = _rebuilt(exc, source, _located(source, [line] if line else [], kind))
    raise error from None


def _usable_token():
    # The cached access token, None when the tokens file cannot give one.
    try:
        ftoken = configparser.ConfigParser()
        return _value(ftoken, "TOKENS", "access_token", TOKENS_FILE,
                      _read_ini(ftoken, TOKENS_FILE))
    except (KeyError, UnicodeDecodeError, configparser.Error):
        return None


def get_secret_config():
    config = configparser.ConfigParser()
    if not os.path.isfile(SECRET_FILE):
        create_secret_file_guide()
        sys.exit(1)
    _read_ini(config, SECRET_FILE)
    return config


_LONGEST_WAIT = 9223372036.0  # the interpreter's clock: 2**63 ns
_LARGEST_ANSWER = 1 << 20
_READ_SIZE = 16384


def _timeout_seconds(value, part):
    try:
        seconds = float(part)
    except ValueError:
        seconds = float("nan")
    if not 0.0 < seconds <= _LONGEST_WAIT:
        raise ValueError(
            "TALVERO_HTTP_TIMEOUT must be a positive number of seconds up to %d, two of "
            "them as CONNECT,READ, or 'none', not %r" % (_LONGEST_WAIT, value)
        )
    return seconds


def _timeouts():
    # TALVERO_HTTP_TIMEOUT, read at each request: unset or blank means
    # (10, 60) seconds, "none" no time-out; else one number or CONNECT,READ.
    # Returns the timeout= options and the read part (0: none).
    value = os.environ.get("TALVERO_HTTP_TIMEOUT")
    stripped = value.strip() if value is not None else ""
    if not stripped:
        return {"timeout": (10.0, 60.0)}, 60.0
    if len(stripped) == 4 and max(stripped) < "\x80" and stripped.lower() == "none":
        return {}, 0.0
    parts = stripped.split(",", 1)
    if len(parts) == 1:
        seconds = _timeout_seconds(value, stripped)
        return {"timeout": seconds}, seconds
    timeout = tuple(_timeout_seconds(value, part) for part in parts)
    return {"timeout": timeout}, timeout[1]


# The start of a URL as requests' parser finds it: blanks, then the scheme
# and "//" where there are; the authority runs to the path, query or fragment.
_URL_START = re.compile(r"(\s*)(?:([A-Za-z][A-Za-z0-9+.\-]*):(//)?)?")
_AUTHORITY = re.compile(r"[^/?#]*")
_LOOPBACK6 = socket.inet_pton(socket.AF_INET6, "::1")
# The real requests' error, whatever stands in for requests later.
_InvalidURL = requests.exceptions.InvalidURL


def _keep_headers(prepared):
    # The auth= of both requests: requests reads ~/.netrc, and the URL's
    # user and password, only for a request that names no auth.
    return prepared


def _this_machine(authority):
    # localhost, 127.0.0.0/8 in four decimals, [::1]; a numeric port or none.
    try:
        authority.encode("ascii")
    except UnicodeEncodeError:
        return False
    if "\0" in authority:
        return False
    if authority.startswith("["):
        close = authority.find("]")
        if close < 0 or authority[close + 1:close + 2] not in ("", ":"):
            return False
        host, port, family = authority[1:close], authority[close + 2:], socket.AF_INET6
    else:
        host, _, port = authority.partition(":")
        family = socket.AF_INET
    if port and not port.isdigit():
        return False
    if family == socket.AF_INET and host.lower() == "localhost":
        return True
    try:
        address = socket.inet_pton(family, host)
    except OSError:
        return False
    return address == _LOOPBACK6 if family == socket.AF_INET6 else address[0] == 127


def _check_transport(url):
    # No user or password in the URL; no plain http to another machine
    # unless TALVERO_INSECURE_TRANSPORT is set.
    start = _URL_START.match(url)
    begin = start.end() if start.group(3) else start.end(1)
    authority = _AUTHORITY.match(url, begin).group()
    if "@" in authority:
        shown = url[:begin] + "***@" + url[begin + authority.rindex("@") + 1:]
        raise _InvalidURL(
            "TALVERO_API_URL holds a user name or password before its host (%s): the "
            "account server takes the credentials of the secret file only, and a URL ends "
            "up in logs; remove the part up to '@'. Nothing was sent" % shown
        )
    if (start.group(2) or "").lower() != "http":
        return
    if start.group(3) and _this_machine(authority):
        return
    if os.environ.get("TALVERO_INSECURE_TRANSPORT"):
        return
    raise _InvalidURL(
        "TALVERO_API_URL is plain http to another machine (%s): the password or the token "
        "would cross the network unencrypted. Use https, or set TALVERO_INSECURE_TRANSPORT "
        "to a non-empty value to send them in clear text anyway. Nothing was sent" % url
    )


def _request(method, endpoint, **options):
    # No redirect is followed, and the body is left for the caller to read;
    # a refused URL is refused before requests is asked for anything.
    url = str(TALVERO_API_URL) + endpoint
    _check_transport(url)
    function = getattr(requests, method)
    timeout, read_seconds = _timeouts()
    options.update(auth=_keep_headers, allow_redirects=False, stream=True, **timeout)
    sent = time.monotonic()
    return function(url, **options), sent, read_seconds


def _real_answer(query):
    models = sys.modules.get("requests.models")
    return models is not None and isinstance(query, models.Response)


def _status_line(query):
    return "%s %s" % (query.status_code, query.reason or "")


def _read_late(read_seconds):
    return requests.exceptions.ReadTimeout(
        "the account server's answer did not arrive whole within the read time-out of "
        "%g s (TALVERO_HTTP_TIMEOUT); nothing was stored" % read_seconds
    )


class _BoundedDecoder(object):
    # The raw bytes read undecoded and each listed encoding undone by a
    # zlib decompressor asked for no more than the bytes wanted, so nested
    # encodings hold a piece each, never the whole decoded body.
    _WBITS = {"gzip": 16 + zlib.MAX_WBITS, "x-gzip": 16 + zlib.MAX_WBITS,
              "deflate": zlib.MAX_WBITS}

    def __init__(self, query):
        self.raw = query.raw
        self.urllib3 = hasattr(self.raw, "stream")
        self.raw_bytes = 0
        self.raw_ended = False
        self.layers = []
        listed = query.headers.get("Content-Encoding") if self.urllib3 else None
        names = [e.strip() for e in (listed or "").split(",")]
        names = [e for e in names if e and e.lower() != "identity"]
        for name in names:
            if name.lower() not in self._WBITS:
                raise LoginError(
                    "the account server's answer is encoded as %.100s, which a login does not "
                    "decode (gzip, deflate and identity only); nothing was stored" % name)
        if len(names) > 5:
            raise LoginError(
                "the account server's answer lists more than 5 content encodings (%.200s); "
                "nothing was stored" % listed)
        for name in reversed(names):
            kind = name.lower()
            self.layers.append({"kind": "deflate" if kind == "deflate" else "gzip",
                                "d": zlib.decompressobj(self._WBITS[kind]), "input": b"",
                                "source_ended": False, "first": True, "later": False,
                                "ended": False})

    def _raw_piece(self, most):
        if self.raw_ended:
            return None
        if self.urllib3:
            try:
                piece = self.raw.read(most, decode_content=False)
            except Exception as error:
                # What requests' iter_content turns urllib3's read errors into.
                found = sys.modules.get("urllib3.exceptions")
                for name, replacement in (("ProtocolError", "ChunkedEncodingError"),
                                          ("ReadTimeoutError", "ConnectionError"),
                                          ("SSLError", "SSLError")):
                    if found is not None and isinstance(error, getattr(found, name)):
                        raise getattr(requests.exceptions, replacement)(error)
                raise
        else:
            piece = self.raw.read(most)
        if not piece:
            self.raw_ended = True
            return None
        self.raw_bytes += len(piece)
        return piece

    def next(self, most):
        return self._piece(len(self.layers) - 1, most)

    def _piece(self, index, most):
        if index < 0:
            return self._raw_piece(most)
        layer = self.layers[index]
        while not layer["ended"]:
            if not layer["input"] and not layer["source_ended"]:
                source = self._piece(index - 1, _READ_SIZE)
                if source is None:
                    layer["source_ended"] = True
                else:
                    layer["input"] = source
                continue
            data = layer["input"]
            try:
                out = layer["d"].decompress(data, most)
            except zlib.error:
                if layer["later"]:
                    layer["ended"] = True  # trailing bytes that are no gzip member
                    continue
                if layer["kind"] == "deflate" and layer["first"]:
                    layer["first"] = False
                    layer["d"] = zlib.decompressobj(-zlib.MAX_WBITS)
                    continue
                raise requests.exceptions.ContentDecodingError(
                    "the account server's answer could not be decoded as %s" % layer["kind"])
            layer["input"] = layer["d"].unconsumed_tail
            if out:
                layer["first"] = False
            if layer["d"].eof:
                if layer["kind"] == "deflate":
                    layer["ended"] = True
                else:
                    layer["input"] = layer["d"].unused_data
                    layer["d"] = zlib.decompressobj(16 + zlib.MAX_WBITS)
                    layer["later"] = True
            if out:
                return out
            if layer["source_ended"] and not layer["ended"] and not layer["input"]:
                layer["ended"] = True
        return None


def _body_read_already(query):
    return isinstance(query._content, bytes) or query._content_consumed or query.raw is None


def _read_body(query, sent, read_seconds):
    # The whole body within the read time-out from the sending, and at most
    # _LARGEST_ANSWER bytes decoded; a timer shuts the socket down at the deadline.
    if _body_read_already(query):
        content = query.content
        if isinstance(content, bytes) and len(content) > _LARGEST_ANSWER:
            raise LoginError(
                "the account server's answer is longer than the 1 MiB a login answer may "
                "take; nothing was stored"
            )
        return
    length = query.headers.get("Content-Length")
    if isinstance(length, str) and length.strip().isdigit() and int(length) > _LARGEST_ANSWER:
        raise LoginError(
            "the account server's answer announces %s bytes, more than the 1 MiB a login "
            "answer may take; it was not read, and nothing was stored" % length
        )
    decoder = _BoundedDecoder(query)
    deadline = sent + read_seconds
    watchdog, fired = None, []
    if read_seconds:
        try:
            fd = os.dup(query.raw.fileno())
        except Exception:
            fd = None
        if fd is not None:
            import socket
            import threading

            sock = socket.socket(fileno=fd)

            def shut():
                fired.append(True)
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

            watchdog = threading.Timer(max(0.0, deadline - time.monotonic()), shut)
            watchdog.daemon = True
            watchdog.start()
    pieces, total, late = [], 0, False
    try:
        while True:
            piece = decoder.next(min(_READ_SIZE, _LARGEST_ANSWER - total + 1))
            if piece is None:
                break
            if (len(piece) > _LARGEST_ANSWER - total
                    or decoder.raw_bytes > _LARGEST_ANSWER + _READ_SIZE):
                raise LoginError(
                    "the account server's answer is longer than the 1 MiB a login answer "
                    "may take; its reading was cut off there, and nothing was stored"
                )
            total += len(piece)
            pieces.append(piece)
            if read_seconds and time.monotonic() >= deadline:
                late = True
                break
    except LoginError:
        raise
    except OSError:
        # A failure of the reading itself at or after the deadline is the
        # time-out's doing; an interrupt, an exit or any other error is not.
        if watchdog is not None:
            watchdog.cancel()
            watchdog.join()
        if fired or (read_seconds and time.monotonic() >= deadline):
            raise _read_late(read_seconds)
        raise
    finally:
        if watchdog is not None:
            watchdog.cancel()
            watchdog.join()
            sock.close()
    if late or fired:
        raise _read_late(read_seconds)
    query._content = b"".join(pieces)
    query._content_consumed = True


def _json(query, real):
    try:
        return query.json()
    except ValueError as error:
        if real:
            kind = query.headers.get("Content-Type")
            text = "the account server answered %s, %s, not JSON" % (
                _status_line(query),
                "with no content type" if kind is None else "of content type %s" % kind,
            )
            if hasattr(error, "add_note"):
                error.add_note(text)
            else:
                error.__cause__ = requests.exceptions.HTTPError(text)
        raise


def _unstorable(token, sent_in_header):
    # (character, what it is, why it cannot be stored), or None.
    header = "which a request header cannot carry"
    line_start = False
    for c in token:
        if c == "\r":
            return c, "a carriage return", "which would end a line of the tokens file"
        if line_start and not c.isspace():
            line_start = False
            if c in "#;":
                return (c, "a line beginning with '#' or ';'",
                        "which the tokens file would read as a comment")
        if c == "\n":
            if sent_in_header:
                return c, "a line feed", header
            line_start = True
        elif sent_in_header and ord(c) > 0xFF:
            return c, "a character outside Latin-1", header
        elif sent_in_header and ((c < " " and c != "\t") or "\x7f" <= c <= "\x9f"):
            return c, "a control character", header
    return None


def _check_storable(access, refresh):
    # Only tokens that read back and that the check can send are stored.
    for token, name, sent_in_header in ((access, "access_token", True),
                                        (refresh, "refresh_token", False)):
        if not isinstance(token, str):
            continue
        found = _unstorable(token, sent_in_header)
        if found is not None:
            raise LoginError(
                "the account server's %s cannot be stored: it holds %s (U+%04X), %s; the "
                "tokens file was left as it was" % (name, found[1], ord(found[0]), found[2])
            )


def _stored_token(value):
    # Doubling "%" lets the parser's interpolation give back the token as sent.
    if value is None:
        return value
    return str(value).replace("%", "%%")


def _private_folder(folder):
    try:
        info = os.stat(folder)
    except OSError:
        return False
    return info.st_uid == os.geteuid() and not info.st_mode & 0o022


def _write_destination():
    # Links are followed only in folders nobody else can change; only a
    # regular file (or a missing one) is replaced.
    import errno
    import stat

    entry = os.path.join(os.getcwd(), TOKENS_FILE)
    for hop in range(41):
        folder = os.path.realpath(os.path.dirname(entry))
        entry = os.path.join(folder, os.path.basename(entry))
        try:
            mode = os.lstat(entry).st_mode
        except FileNotFoundError:
            return entry, folder
        if stat.S_ISLNK(mode) and _private_folder(folder):
            entry = os.path.join(folder, os.readlink(entry))
            continue
        if stat.S_ISREG(mode) or stat.S_ISLNK(mode):
            return entry, folder
        raise OSError(errno.EISDIR if stat.S_ISDIR(mode) else errno.EEXIST,
                      "not a regular file; the tokens file was not written", entry)
    raise OSError(errno.ELOOP, "the symbolic links go round in a loop", entry)


def _write_tokens_file(config):
    # Written whole to a new file in the target's folder, synced, then renamed
    # over the target, so that a reader never sees half a file.
    import tempfile

    target, folder = _write_destination()
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".tokens.", suffix=".tmp")
    try:
        with open(fd, "w") as file:
            config.write(file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def fetch_token(email, password):
    query, sent, read_seconds = _request(
        "post", "/auth/login", data={"email": email, "password": password}
    )
    real = _real_answer(query)
    try:
        if real:
            if query.status_code != 200 and 300 <= query.status_code <= 399:
                location = query.headers.get("Location")
                raise LoginError(
                    "the account server answered %s, a redirect with no Location; a login "
                    "follows no redirect, and nothing was stored" % _status_line(query)
                    if location is None else
                    "the account server answered %s, a redirect to %s; a login follows no "
                    "redirect, so the form was sent nowhere else, and nothing was stored"
                    % (_status_line(query), location)
                )
            _read_body(query, sent, read_seconds)
        if query.status_code != 200:
            raise LoginError(_json(query, real)["message"])
        config = configparser.ConfigParser()
        config["TOKENS"] = {
            "access_token": _stored_token(_json(query, real)["access_token"]),
            "refresh_token": _stored_token(_json(query, real)["refresh_token"]),
        }
        _check_storable(config["TOKENS"].get("access_token", raw=True),
                        config["TOKENS"].get("refresh_token", raw=True))
        _write_tokens_file(config)
        return _value(config, "TOKENS", "access_token", TOKENS_FILE, "")
    finally:
        if real:
            query.close()


def expired_token():
    ftoken = configparser.ConfigParser()
    token = _value(ftoken, "TOKENS", "access_token", TOKENS_FILE, _read_ini(ftoken, TOKENS_FILE))
    query, _, _ = _request(
        "get", "/auth/authenticate", headers={"authorization": "Bearer " + str(token)}
    )
    # Any status but 200, a redirect's too, means the token is not accepted.
    if _real_answer(query):
        query.close()
    return query.status_code != 200


def get_token():
    # A tokens file that cannot give an access token is no cached token.
    config = get_secret_config()
    email = _value(config, "secret", "email", SECRET_FILE)
    password = _value(config, "secret", "password", SECRET_FILE)
    if not os.path.exists(TOKENS_FILE) or _usable_token() is None or expired_token():
        return fetch_token(email, password)
    token = _usable_token()
    return token if token is not None else fetch_token(email, password)


def catch_tarnel_exception(func):
    @wraps(func)
    def wrapper(*args, **kwargs):
        try:
            return func(*args, **kwargs)
        except MlflowException as e:
            raise e

    return wrapper


def _get_experiment_id():
    return env.get_env(_EXPERIMENT_ID_ENV_VAR)


def _get_run_id():
    return env.get_env(_RUN_ID_ENV_VAR)


def _runid_exists():
    return _RUN_ID_ENV_VAR in os.environ
