"""Reading the secret and tokens files as the client reads them, and saying
what is wrong with one without quoting it."""

import errno
import io
import os
import stat

from vesk.cli.text_encoding import default_encoding

# As the client: a larger file, or one that is not a regular file, is not read.
LARGEST_FILE = 1 << 20


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


def read_bounded(path):
    """(bytes, None) of the file at `path`, or (None, what is wrong). Opened
    without blocking (a FIFO waits for no writer), turned away unless it is
    a regular file, and read no further than LARGEST_FILE."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except OSError as exc:
        return None, "cannot be opened ({})".format(exc.strerror or type(exc).__name__)
    try:
        status = os.fstat(fd)
        if stat.S_ISDIR(status.st_mode):
            return None, "cannot be opened ({})".format(os.strerror(errno.EISDIR))
        if not stat.S_ISREG(status.st_mode):
            return None, "not a regular file: the client reads it as empty"
        if status.st_size > LARGEST_FILE:
            return None, "larger than 1 MiB: the client reads it as empty"
        pieces, total = [], 0
        while total <= LARGEST_FILE:
            piece = os.read(fd, LARGEST_FILE + 1 - total)
            if not piece:
                break
            pieces.append(piece)
            total += len(piece)
        if total > LARGEST_FILE:
            return None, "larger than 1 MiB: the client reads it as empty"
        return b"".join(pieces), None
    except OSError as exc:
        return None, "cannot be read ({})".format(exc.strerror or type(exc).__name__)
    finally:
        os.close(fd)


def parse_ini(path, names):
    """(parser, None) for the file at `path`, read as the client reads it
    (configparser.ConfigParser() in the default encoding), or (None, what
    is wrong). What is wrong says where and what kind of problem, never
    what the file holds: configparser's own messages quote the lines,
    passwords and tokens included. `names` are the section and key names
    that may be shown."""
    import configparser

    raw, problem = read_bounded(path)
    if raw is None:
        return None, problem
    encoding = default_encoding()
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
    raw = read_bounded(path)[0]
    try:
        text = io.TextIOWrapper(io.BytesIO(raw or b""), encoding=default_encoding()).read()
    except ValueError:
        return None
    for number, line in enumerate(text.split("\n"), 1):
        header = re.match(r"\[(?P<name>.+)\]", line)
        if header:
            current = header.group("name")
            continue
        entry = re.match(r"(?P<key>[^\s=:][^=:]*?)\s*[=:]", line)
        if current == section and entry and entry.group("key").lower() == key:
            return number
    return None


def lookup(parser, path, section, key):
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


def read_secret(path):
    """(e-mail address or None, what is wrong or None) of the secret file,
    read as the client reads it; the password is looked up and never
    shown."""
    parser, problem = parse_ini(path, ("secret", "email", "password"))
    if parser is None:
        return None, problem
    email, problem = lookup(parser, path, "secret", "email")
    if problem is None:
        problem = lookup(parser, path, "secret", "password")[1]
    return email, problem
