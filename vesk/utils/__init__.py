"""Console helpers of the vesk package."""

import os
import sys

_CYAN = "\033[36m"
_RED = "\033[31m"
_RESET = "\033[0m"


def _use_colour(stream):
    # Colour only on a terminal, and never when NO_COLOR is set to a
    # non-empty value (the no-color convention: an empty NO_COLOR counts as
    # unset).
    if os.environ.get("NO_COLOR"):
        return False
    isatty = getattr(stream, "isatty", None)
    if isatty is None:
        return False
    try:
        return bool(isatty())
    except (OSError, ValueError):
        # Closed or detached stream: treat it as plain output.
        return False


def _coloured_print(text, colour):
    # sys.stdout is looked up at each call so that a replaced stream is used.
    stream = sys.stdout
    if stream is None:
        return None
    text = str(text)
    if _use_colour(stream):
        text = colour + text + _RESET
    print(text, file=stream, flush=True)
    return None


def cyan_print(text):
    """Print `text` to standard output, in cyan on a terminal."""
    _coloured_print(text, _CYAN)


def red_print(text):
    """Print `text` to standard output, in red on a terminal."""
    _coloured_print(text, _RED)
