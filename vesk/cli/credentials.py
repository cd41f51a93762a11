"""The e-mail address and password: the values accepted, and the text of
the secret file that stores them."""

import locale

from vesk.cli.reporting import EXIT_USAGE, CommandError


def check_value(label, value):
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


def check_email(email):
    # What is wrong is said, never the value: a password pasted into the
    # wrong field is the usual reason for a value that is not an address.
    check_value("e-mail address", email)
    local, at, domain = email.partition("@")
    if not at:
        problem = "it has no @"
    elif "@" in domain:
        problem = "it has more than one @"
    elif not local:
        problem = "nothing comes before the @"
    elif not domain:
        problem = "nothing comes after the @"
    else:
        return
    raise CommandError(
        "that is not an e-mail address: {} (one @ with text on both sides is "
        "needed)".format(problem),
        EXIT_USAGE,
    )


def is_email(value):
    try:
        check_email(value)
    except CommandError:
        return False
    return True


def _ini_value(value):
    # Basic interpolation turns "%%" back into "%" on lookup.
    return value.replace("%", "%%")


def render(email, password):
    # Same layout as configparser.ConfigParser().write() produces.
    return "[secret]\nemail = {}\npassword = {}\n\n".format(
        _ini_value(email), _ini_value(password)
    )


def encode(text):
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
