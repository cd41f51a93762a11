"""Command line of the vesk package.

``vesk config`` checks the account's e-mail address and password with the
account server and stores them in ``~/.talvero/secret.file``, the file the
tracking client reads its credentials from. ``vesk status`` tells what is
stored and whether the cached token is usable; ``vesk logout`` removes the
cached token, and with ``--forget`` the credentials too.
"""

import argparse
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
# 130 after Ctrl-C.
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
            "options are asked for on the terminal; the password is not "
            "echoed. A refused login stores nothing."
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
            "whether the account server accepts it, and the server URLs. "
            "Exits 0 when a usable token is cached, 1 otherwise."
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
            "~/.talvero/secret.file too. Removing what is not there is "
            "not an error."
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


def _one_line(exc):
    # configparser's messages quote the offending lines.
    return " ".join(str(exc).split())


def _read_secret(path):
    """(e-mail address or None, what is wrong or None) of the secret file,
    read as the client reads it."""
    import configparser

    parser = configparser.ConfigParser()
    try:
        with open(path) as handle:
            parser.read_file(handle)
        section = parser["secret"]
        email = section["email"]
        section["password"]
    except KeyError as exc:
        known = parser.has_option("secret", "email")
        return (parser["secret"]["email"] if known else None,
                "no {!r} in it".format(exc.args[0]))
    except (OSError, ValueError, configparser.Error) as exc:
        return None, "cannot read it ({})".format(_one_line(exc))
    return email, None


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


def _write_atomically(target, data):
    folder = os.path.dirname(target)
    # mkstemp creates the file with mode 0600 in the same folder, so the
    # final rename is atomic and the file is never readable by others.
    fd, tmp_path = tempfile.mkstemp(dir=folder, prefix=".secret.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(tmp_path, target)
    except BaseException:
        try:
            os.unlink(tmp_path)
        except OSError:
            pass
        raise
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


def _identity(path):
    """What tells one version of a file from the next, None when absent.
    The login replaces the tokens file by a rename: a new inode."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_ino, info.st_mtime_ns, info.st_size


def _remove(path):
    """Removes the file at `path`; False when there was none."""
    try:
        os.remove(path)
    except FileNotFoundError:
        return False
    except OSError as exc:
        raise CommandError(
            "cannot remove {}: {}".format(path, exc.strerror or exc), EXIT_FAILURE
        )
    return True


# Talking to the account server.


def _server_trouble(exc, url):
    """The words for a request that failed, naming the server's URL."""
    import requests

    errors = requests.exceptions
    if isinstance(exc, errors.ConnectTimeout):
        return ("cannot reach the account server at {}: it did not accept the "
                "connection in time".format(url))
    if isinstance(exc, errors.Timeout):
        return ("the account server at {} did not answer in time (the wait is "
                "set by TALVERO_HTTP_TIMEOUT)".format(url))
    if isinstance(exc, errors.ConnectionError):
        reason = exc.args[0] if exc.args else exc
        reason = getattr(reason, "reason", reason)
        text = str(reason)
        # urllib3 prefixes its reasons with the repr of its connection object.
        if text.startswith("<") and ">: " in text:
            text = text.split(">: ", 1)[1]
        return "cannot reach the account server at {}: {}".format(url, text)
    return "the exchange with the account server at {} failed: {}: {}".format(
        url, type(exc).__name__, exc)


def _log_in(client, email, password):
    """One login through the client's own fetch_token, which writes the
    tokens file; CommandError when the server refuses or cannot be asked."""
    url = client.TALVERO_API_URL
    try:
        client.fetch_token(email, password)
    except client.LoginError as exc:
        raise CommandError(
            "the account server at {} refused the login: {}; nothing written".format(
                url, exc),
            EXIT_FAILURE,
        )
    except Exception as exc:
        raise CommandError(
            "{}; nothing written (--no-verify stores the credentials without "
            "logging in)".format(_server_trouble(exc, url)),
            EXIT_FAILURE,
        )


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
        email = _ask("E-mail: ")
    _check_email(email)

    client = _client()
    secret_file, tokens_file = client.SECRET_FILE, client.TOKENS_FILE
    previous = None
    replaces = False
    if os.path.lexists(secret_file):
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

    if args.password is not None:
        password = args.password
    elif args.password_stdin and not interactive:
        password = _password_line_from_stdin()
    else:
        password = _ask_password()
    _check_value("password", password)
    data = _encode(_render(email, password))

    created = _ensure_folder(os.path.dirname(secret_file))
    tokens_before = _identity(tokens_file)
    dropped_token = written = False
    try:
        if not args.no_verify:
            _log_in(client, email, password)
        elif previous != email:
            # Unchecked credentials of another account: the cached token
            # must go first, or it would be handed out for them.
            dropped_token = _remove(tokens_file)
        try:
            _write_atomically(secret_file, data)
        except OSError as exc:
            raise CommandError(
                "cannot write {}: {}".format(secret_file, exc.strerror or exc),
                EXIT_FAILURE,
            )
        written = True
    finally:
        if not written:
            # A token of the new account must not outlive a failed or
            # interrupted command: it would be handed out for the old one.
            if _identity(tokens_file) != tokens_before:
                _remove(tokens_file)
            if created:
                try:
                    os.rmdir(os.path.dirname(secret_file))
                except OSError:
                    pass

    replaced = ""
    if replaces:
        replaced = ", replacing {}".format(
            previous or "credentials that named no e-mail address")
    if args.no_verify:
        print("credentials written to {}{} (not checked with the account "
              "server)".format(secret_file, replaced), file=out)
        if dropped_token:
            print("removed {}, the cached token of {}".format(
                tokens_file, previous or "the previous credentials"), file=out)
    else:
        print("logged in to {} as {}".format(client.TALVERO_API_URL, email), file=out)
        print("credentials written to {}{}".format(secret_file, replaced), file=out)
    return 0


def _token_state(client, offline):
    """(usable, words) for the cached token."""
    import configparser

    tokens_file = client.TOKENS_FILE
    if not os.path.lexists(tokens_file):
        return False, "none cached"
    parser = configparser.ConfigParser()
    try:
        with open(tokens_file) as handle:
            parser.read_file(handle)
        parser["TOKENS"]["access_token"]
    except KeyError as exc:
        return False, "the tokens file holds no token (no {!r} in it)".format(exc.args[0])
    except (OSError, ValueError, configparser.Error) as exc:
        return False, "the tokens file cannot be read ({})".format(_one_line(exc))
    if offline:
        return True, "cached, not checked (--offline)"
    try:
        expired = client.expired_token()
    except Exception as exc:
        return False, "cached; " + _server_trouble(exc, client.TALVERO_API_URL)
    if expired:
        return False, ("cached, refused by the account server (expired or revoked); "
                       "the next get_token() logs in again")
    return True, "cached, accepted by the account server"


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
    if os.path.lexists(secret_file):
        email, problem = _read_secret(secret_file)
        if problem is None:
            account = email
        elif email is not None:
            account = "{} ({}: {})".format(email, secret_file, problem)
        else:
            account = "unusable: {} {}".format(secret_file, problem)
        secret_state = "present"
    else:
        problem = "missing"
        account = "not configured (run: vesk config)"
        secret_state = "missing"
    usable, token = _token_state(client, args.offline)
    tokens_state = "present" if os.path.lexists(tokens_file) else "missing"
    rows = [("account", account),
            ("secret file", "{} ({})".format(secret_file, secret_state)),
            ("tokens file", "{} ({})".format(tokens_file, tokens_state)),
            ("token", token),
            ("TALVERO_API_URL", client.TALVERO_API_URL),
            ("TRACKING_URI", client.TRACKING_URI)]
    for label, value in rows:
        print("{:<16} {}".format(label + ":", value), file=out)
    if secret_state == "present":
        _permission_warning(secret_file)
    return 0 if usable and problem is None else EXIT_FAILURE


def run_logout(args, out):
    client = _client()
    removed = []
    if _remove(client.TOKENS_FILE):
        removed.append("removed {} (the cached token)".format(client.TOKENS_FILE))
    if args.forget and _remove(client.SECRET_FILE):
        removed.append("removed {} (the credentials)".format(client.SECRET_FILE))
    if not removed:
        what = "no cached token and no stored credentials" if args.forget \
            else "no cached token"
        removed.append("nothing to remove: {}".format(what))
    for line in removed:
        print(line, file=out)
    return 0


COMMANDS = {"config": run_config, "status": run_status, "logout": run_logout}


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
        print("\nvesk {}: input ended; nothing written".format(args.command),
              file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print("\nvesk {}: interrupted; nothing written".format(args.command),
              file=sys.stderr)
        return EXIT_INTERRUPTED
