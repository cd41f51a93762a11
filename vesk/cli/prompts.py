"""Terminal input: the prompts, the password from standard input, and the
retries of a refused value. Prompts go to the controlling terminal, as
getpass's do, or to stderr when there is none: stdout carries results
only."""

import getpass
import io
import locale
import os
import sys

from vesk.cli.reporting import EXIT_USAGE, CommandError
from vesk.cli.text_encoding import default_encoding


def stdin_is_terminal():
    try:
        return sys.stdin is not None and sys.stdin.isatty()
    except (AttributeError, OSError, ValueError):
        return False


def ask_line(prompt):
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


def ask_password():
    return getpass.getpass("Password: ")


def confirm(question):
    return ask_line(question + " [y/N] ").strip().lower() in ("y", "yes")


def password_line_from_stdin():
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
        os.write(fd, (text + "\n").encode(default_encoding(), "replace"))
    finally:
        os.close(fd)


def ask_until_valid(ask, check):
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
