"""Command line of the vesk package.

``vesk config`` stores the account's e-mail address and password in
``~/.talvero/secret.file``, the file the tracking client reads its
credentials from.
"""

import argparse
import getpass
import locale
import os
import sys
import tempfile
from pathlib import Path

import vesk

SECRET_DIR_NAME = ".talvero"
SECRET_FILE_NAME = "secret.file"

# Exit statuses: 2 for a refused command line or value (as argparse does),
# 1 when the file system lets us down, 130 after Ctrl-C.
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
        help="store the account e-mail address and password",
        description=(
            "Store the account e-mail address and password in "
            "~/.talvero/secret.file (readable by the owner only). Values "
            "not given as options are asked for on the terminal; the "
            "password is not echoed."
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
            "read the password from standard input: one line, its line "
            "break dropped (needs --email)"
        ),
    )
    return parser


def _stdin_is_terminal():
    try:
        return sys.stdin is not None and sys.stdin.isatty()
    except (AttributeError, OSError, ValueError):
        return False


def _check_value(label, value):
    # The file is read back with configparser.ConfigParser(): one line per
    # entry, blanks around the value dropped. Values it could not give back
    # unchanged are refused rather than silently altered.
    if "\n" in value or "\r" in value:
        raise CommandError(
            "the {} must not contain a line break".format(label), EXIT_USAGE
        )
    if value != value.strip():
        raise CommandError(
            "the {} must not begin or end with blanks".format(label), EXIT_USAGE
        )


def _ini_value(value):
    # Basic interpolation turns "%%" back into "%" on lookup.
    return value.replace("%", "%%")


def _render(email, password):
    # Same layout as configparser.ConfigParser().write() produces.
    return "[secret]\nemail = {}\npassword = {}\n\n".format(
        _ini_value(email), _ini_value(password)
    )


def _ensure_folder(folder):
    try:
        folder.mkdir(mode=0o700)
    except FileExistsError:
        # An existing folder keeps its permissions: never loosen them.
        pass
    except OSError as exc:
        raise CommandError(
            "cannot create {}: {}".format(folder, exc.strerror or exc), EXIT_FAILURE
        )
    else:
        # mkdir's mode is filtered through the umask; make it exactly 0700.
        os.chmod(str(folder), 0o700)
    if not folder.is_dir():
        raise CommandError("{} exists and is not a folder".format(folder), EXIT_FAILURE)


def _write_atomically(target, data):
    folder = str(target.parent)
    # mkstemp creates the file with mode 0600 in the same folder, so the
    # final rename is atomic and the file is never readable by others.
    fd, tmp_path = tempfile.mkstemp(dir=folder, prefix=".secret.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(tmp_path, str(target))
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


def _password_from_stdin():
    # All of standard input, so that a second line is refused (as any line
    # break in a password is) rather than silently dropped.
    if sys.stdin is None:
        raise CommandError("there is no standard input to read", EXIT_USAGE)
    try:
        text = sys.stdin.read()
    except UnicodeDecodeError:
        raise CommandError(
            "standard input is not valid {}".format(sys.stdin.encoding), EXIT_USAGE
        )
    for line_end in ("\r\n", "\n"):
        if text.endswith(line_end):
            text = text[: -len(line_end)]
            break
    if not text:
        raise CommandError("no password on standard input", EXIT_USAGE)
    return text


def _ask(email, password):
    if email is None:
        email = input("E-mail: ")
    if password is None:
        password = getpass.getpass("Password: ")
    return email, password


def run_config(email, password):
    """Write the secret file; return the path written."""
    if email is None or password is None:
        if not _stdin_is_terminal():
            raise CommandError(
                "standard input is not a terminal; pass --email and --password "
                "(or --password-stdin)",
                EXIT_USAGE,
            )
        email, password = _ask(email, password)

    _check_value("e-mail address", email)
    _check_value("password", password)
    if not email:
        raise CommandError("the e-mail address must not be empty", EXIT_USAGE)

    # The reader opens the file in the interpreter's default encoding; use
    # the same one here and refuse what it cannot represent.
    encoding = locale.getpreferredencoding(False)
    try:
        data = _render(email, password).encode(encoding)
    except UnicodeEncodeError:
        raise CommandError(
            "the credentials cannot be stored in the {} encoding".format(encoding),
            EXIT_USAGE,
        )

    folder = Path.home() / SECRET_DIR_NAME
    target = folder / SECRET_FILE_NAME
    _ensure_folder(folder)
    try:
        _write_atomically(target, data)
    except OSError as exc:
        raise CommandError(
            "cannot write {}: {}".format(target, exc.strerror or exc), EXIT_FAILURE
        )
    return target


def main(argv=None):
    parser = _build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE

    try:
        password = args.password
        if args.password_stdin:
            if args.email is None:
                raise CommandError("--password-stdin needs --email", EXIT_USAGE)
            password = _password_from_stdin()
        target = run_config(args.email, password)
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

    print("credentials written to {}".format(target))
    return 0
