"""Command line of the vesk package.

``vesk config`` checks the account's e-mail address and password with the
account server and stores them in ``~/.talvero/secret.file``, the file the
tracking client reads its credentials from. ``vesk status`` tells what is
stored and whether the cached token is usable; ``vesk logout`` removes the
cached token, and with ``--forget`` the credentials too.
"""

import sys

from vesk.cli.arguments import build_parser
from vesk.cli.commands import run_config, run_logout, run_status
from vesk.cli.reporting import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, CommandError

COMMANDS = {"config": run_config, "status": run_status, "logout": run_logout}

# What an interrupted command leaves: only config writes.
UNCHANGED = {"config": "; nothing written"}


def main(argv=None):
    parser = build_parser()
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
