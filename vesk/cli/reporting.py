"""How a command reports, besides its results on stdout: notes on stderr
while it works, and CommandError, the failure main() prints as one line,
with the exit statuses."""

import sys

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


def note(command, text):
    print("vesk {}: {}".format(command, text), file=sys.stderr)
    sys.stderr.flush()
